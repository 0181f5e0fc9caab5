// SPDX-License-Identifier: Apache-2.0
package com.zelk.sdk;

/** The reply to identify. */
public final class Identity {
  private final String identity;
  private final double confidence;

  Identity(long handle) {
    identity = Native.text(Native.identityText(handle));
    confidence = Native.identityConfidence(handle);
  }

  /** The device's identity. */
  public String identity() {
    return identity;
  }

  /** How sure the service is, from 0 to 1. */
  public double confidence() {
    return confidence;
  }
}
