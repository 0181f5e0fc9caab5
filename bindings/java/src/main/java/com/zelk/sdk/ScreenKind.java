// SPDX-License-Identifier: Apache-2.0
package com.zelk.sdk;

/** The screens of a challenge. */
public enum ScreenKind {
  ENTRY,
  DEVICE_LIMITER,
  VERIFICATION_OPTIONS,
  VERIFICATION_CODE;
}
