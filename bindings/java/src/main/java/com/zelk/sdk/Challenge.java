// SPDX-License-Identifier: Apache-2.0
package com.zelk.sdk;

/** One challenge as the service returns it. Absent members are null. */
public final class Challenge {
  private final String id, projectName, logo, primaryColor, userEmail, userPhone, json;

  private Challenge(long handle) {
    id = text(handle, 300);
    projectName = text(handle, 302);
    logo = text(handle, 303);
    primaryColor = text(handle, 304);
    userEmail = text(handle, 306);
    userPhone = text(handle, 307);
    json = Native.text(Native.challengeJson(handle));
  }

  private static String text(long handle, int field) {
    return Native.text(Native.challengeText(handle, field));
  }

  /** Reads the C interface's challenge and frees it; null for 0. */
  static Challenge readAndFree(long handle) {
    if (handle == 0) return null;
    try {
      return new Challenge(handle);
    } finally {
      Native.challengeFree(handle);
    }
  }

  /** The challenge's ID. */
  public String id() {
    return id;
  }

  /** The project's name shown on the screens. */
  public String projectName() {
    return projectName;
  }

  /** The URL of the brand's logo. */
  public String logo() {
    return logo;
  }

  /** The brand's colour, as hexadecimal text. */
  public String primaryColor() {
    return primaryColor;
  }

  /** Where an e-mailed code goes. */
  public String userEmail() {
    return userEmail;
  }

  /** Where a texted code goes. */
  public String userPhone() {
    return userPhone;
  }

  /** The whole challenge as JSON with the service's member names. */
  public String json() {
    return json;
  }
}
