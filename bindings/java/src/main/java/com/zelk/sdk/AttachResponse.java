// SPDX-License-Identifier: Apache-2.0
package com.zelk.sdk;

/** The reply to attach and to detach. */
public final class AttachResponse {
  private final String deviceId;
  private final String access;
  private final long attachedDevices;
  private final boolean success;
  private final String json;

  private AttachResponse(long handle) {
    deviceId = Native.text(Native.attachResponseText(handle, 101));
    access = Native.text(Native.attachResponseText(handle, 100));
    attachedDevices = Native.attachResponseNumber(handle, 110);
    success = Native.attachResponseNumber(handle, 111) == 1;
    json = Native.text(Native.attachResponseJson(handle));
  }

  /** Read while the C interface's reply is valid, during its callback; null for 0. */
  static AttachResponse read(long handle) {
    return handle == 0 ? null : new AttachResponse(handle);
  }

  /** This device's ID at the service ("device_id"), or null. */
  public String deviceId() {
    return deviceId;
  }

  /** The token that opens the realtime stream ("access"), or null. */
  public String access() {
    return access;
  }

  /** Devices the user has attached ("attached_devices"). */
  public long attachedDevices() {
    return attachedDevices;
  }

  /** Whether the service accepted the call ("success"). */
  public boolean success() {
    return success;
  }

  /** The whole reply as JSON with the service's member names. */
  public String json() {
    return json;
  }

  @Override
  public String toString() {
    return json;
  }
}
