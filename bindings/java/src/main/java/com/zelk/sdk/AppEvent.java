// SPDX-License-Identifier: Apache-2.0
package com.zelk.sdk;

/** The two application lifecycle events the client follows. */
public enum AppEvent {
  WILL_RESIGN_ACTIVE,
  DID_BECOME_ACTIVE;
}
