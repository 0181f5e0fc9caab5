// SPDX-License-Identifier: Apache-2.0
package com.zelk.sdk;

import java.util.ArrayList;
import java.util.Collections;
import java.util.List;

/** One device attached to a user. Absent members are null. */
public final class Device {
  private final String id, model, type, vendor, osName, osVersion, city, country;
  private final Long createdAt, updatedAt;

  private Device(long list, int index) {
    id = text(list, index, 200);
    model = text(list, index, 201);
    type = text(list, index, 202);
    vendor = text(list, index, 203);
    osName = text(list, index, 204);
    osVersion = text(list, index, 205);
    city = text(list, index, 206);
    country = text(list, index, 207);
    createdAt = date(list, index, 210);
    updatedAt = date(list, index, 211);
  }

  private static String text(long list, int index, int field) {
    return Native.text(Native.deviceListText(list, index, field));
  }

  private static Long date(long list, int index, int field) {
    long value = Native.deviceListDate(list, index, field);
    return value == Long.MIN_VALUE ? null : value;
  }

  /** Reads the C interface's device list and frees it. */
  static List<Device> readAndFree(long list) {
    try {
      int count = Native.deviceListCount(list);
      List<Device> devices = new ArrayList<>(count);
      for (int i = 0; i < count; ++i) devices.add(new Device(list, i));
      return Collections.unmodifiableList(devices);
    } finally {
      Native.deviceListFree(list);
    }
  }

  /** The service's device ID. */
  public String id() {
    return id;
  }

  /** The model name shown to users. */
  public String model() {
    return model;
  }

  /** "mobile", "tablet" or "computer". */
  public String type() {
    return type;
  }

  /** The device's vendor identifier. */
  public String vendor() {
    return vendor;
  }

  /** The operating system's name. */
  public String osName() {
    return osName;
  }

  /** The operating system's version. */
  public String osVersion() {
    return osVersion;
  }

  /** Where its last access came from. */
  public String city() {
    return city;
  }

  /** The same, its country. */
  public String country() {
    return country;
  }

  /** The first attach, in milliseconds since the epoch. */
  public Long createdAt() {
    return createdAt;
  }

  /** The last change, in milliseconds since the epoch. */
  public Long updatedAt() {
    return updatedAt;
  }
}
