// SPDX-License-Identifier: Apache-2.0
package com.zelk.sdk;

/** The device-limit situation of the account behind a challenge. */
public final class DeviceLimit {
  private final long attachedTotal, overallLimit;
  private final boolean over;
  private final String json;

  private DeviceLimit(long handle) {
    attachedTotal = Native.deviceLimitNumber(handle, 400);
    overallLimit = Native.deviceLimitNumber(handle, 404);
    over = Native.deviceLimitNumber(handle, 410) == 1;
    json = Native.text(Native.deviceLimitJson(handle));
  }

  /** Reads the C interface's record and frees it; null for 0. */
  static DeviceLimit readAndFree(long handle) {
    if (handle == 0) return null;
    try {
      return new DeviceLimit(handle);
    } finally {
      Native.deviceLimitFree(handle);
    }
  }

  /** All attached devices. */
  public long attachedTotal() {
    return attachedTotal;
  }

  /** Devices of all kinds the account may keep. */
  public long overallLimit() {
    return overallLimit;
  }

  /** Whether the account is over a limit. */
  public boolean over() {
    return over;
  }

  /** The whole record as JSON with the service's member names. */
  public String json() {
    return json;
  }
}
