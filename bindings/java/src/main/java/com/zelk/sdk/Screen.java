// SPDX-License-Identifier: Apache-2.0
package com.zelk.sdk;

import java.util.List;

/**
 * A snapshot of one challenge screen ({@code zelk_screen}): what it showed and its state when it
 * was taken. Reads work on any thread; actions on the main thread while the screen is still on
 * top ({@link Status#UNAVAILABLE} once it is not: take a new snapshot).
 */
public final class Screen extends Handle {
  /** Values for {@link #text} and {@link #number} ({@code zelk_screen_value}). */
  public static final int NAME = 0, PLAIN_TEXT = 1, ELEMENTS_JSON = 2, TITLE = 10, CODE = 11,
      MESSAGE = 12, RESEND_LABEL = 13, DEVICES_TO_LOGOUT = 14, DEPTH = 20, VERIFIES_FIRST = 30,
      CODE_FOCUS = 31, SECONDS_TO_RESEND = 32, VERIFYING = 33, VALID_CODE = 34, VERIFIED = 35,
      EMAIL_CODE_SENDING = 36, EMAIL_CODE_SENT = 37, TEXT_CODE_SENDING = 38,
      TEXT_CODE_SENT = 39, OVER_LIMIT = 40;

  Screen(long handle) {
    super(handle);
  }

  @Override
  void free(long handle) {
    Native.screenFree(handle);
  }

  public ScreenKind kind() {
    return Enums.of(ScreenKind.class, Native.screenKind(handle()));
  }

  /** A text value; {@link Status#UNAVAILABLE} for one of another kind of screen. */
  public String text(int value) {
    return Native.text(Native.screenText(handle(), value));
  }

  /** A number value; {@link Status#UNAVAILABLE} for one of another kind of screen. */
  public long number(int value) {
    return Native.screenNumber(handle(), value);
  }

  /** E.g. "ChallengeEntryView". */
  public String name() {
    return text(NAME);
  }

  /** The elements one per line, as a terminal host prints them. */
  public String plainText() {
    return text(PLAIN_TEXT);
  }

  /** The element tree, top to bottom. */
  public List<Element> elements() {
    return Element.read(handle(), -1);
  }

  /** The limiter's loaded limits, or null until they arrive. */
  public DeviceLimit deviceLimit() {
    return DeviceLimit.readAndFree(Native.screenDeviceLimit(handle()));
  }

  /** The devices the user ticked on the limiter. */
  public List<Device> selectedDevices() {
    return Device.readAndFree(Native.screenSelectedDevices(handle()));
  }

  /** Runs an element's action if it is shown and enabled; whether it ran. */
  public boolean perform(String action) {
    return Native.screenPerform(handle(), Native.utf8(action));
  }

  /** Ticks or unticks a device on the limiter. */
  public boolean toggleDevice(String deviceId) {
    return Native.screenToggleDevice(handle(), Native.utf8(deviceId));
  }

  /** Types into the code boxes; how many characters went in. */
  public int typeCode(String text) {
    return Native.screenTypeCode(handle(), Native.utf8(text));
  }

  /** Deletes the character of the box with the focus; false when it is empty. */
  public boolean deleteCodeCharacter() {
    return Native.screenDeleteCodeCharacter(handle());
  }

  /** The user tapped code box {@code index} (0 to 5). */
  public void tapCodeBox(int index) {
    Native.screenTapCodeBox(handle(), index);
  }
}
