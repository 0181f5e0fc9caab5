// SPDX-License-Identifier: Apache-2.0
package com.zelk.sdk;

import java.util.List;

/**
 * The logic of the view that lays the challenge over the host's content ({@code
 * zelk_container}). Making one routes the client's challenges to it and attaches. Main thread
 * only; its subscribers run there.
 */
public final class Container extends Handle {
  /** A container for {@code client}. */
  public Container(Client client) {
    super(Native.containerNew(client.handle()));
  }

  Container(long handle) {
    super(handle);
  }

  @Override
  void free(long handle) {
    Native.containerFree(handle);
  }

  /** Whether the challenge covers the content now. */
  public boolean challengeVisible() {
    return Native.containerFlag(handle(), 0);
  }

  /** Whether the devices and limits are loading. */
  public boolean loadingDevices() {
    return Native.containerFlag(handle(), 1);
  }

  /** Whether selected devices are being logged out. */
  public boolean detachLoading() {
    return Native.containerFlag(handle(), 2);
  }

  /** The service's ID of the device the user holds, or null. */
  public String currentDeviceId() {
    return Native.text(Native.containerCurrentDeviceId(handle()));
  }

  /** The challenge on show, or null. */
  public Challenge challenge() {
    return Challenge.readAndFree(Native.containerChallenge(handle()));
  }

  /** The devices attached to the challenged account, as last loaded. */
  public List<Device> attachedDevices() {
    return Device.readAndFree(Native.containerAttachedDevices(handle()));
  }

  /** Reports the scene's phase: background or inactive detaches, active attaches. */
  public void setScenePhase(ScenePhase phase) {
    Native.containerSetScenePhase(handle(), phase.ordinal());
  }

  /**
   * {@code callback} runs after every change of what the container shows (state, stack, top
   * screen), inside the library: read there, and post actions to the main thread. Returns the
   * subscription's token.
   */
  public long subscribe(Runnable callback) {
    return Native.containerSubscribe(handle(), callback);
  }

  /** Ends a subscription. */
  public void unsubscribe(long token) {
    Native.containerUnsubscribe(handle(), token);
  }

  /** A snapshot of the screen on top, or null while the challenge is hidden. Close it. */
  public Screen screen() {
    long screen = Native.containerScreen(handle());
    return screen == 0 ? null : new Screen(screen);
  }

  /** Pops the top screen (the back control); false at the root. */
  public boolean back() {
    return Native.containerBack(handle());
  }
}
