// SPDX-License-Identifier: Apache-2.0
package com.zelk.sdk;

import java.time.Duration;
import java.util.Map;
import java.util.function.BiConsumer;
import java.util.function.Consumer;

/**
 * The client a host makes once to protect its user accounts ({@code zelk_client}).
 *
 * <p>Threads: the library's main thread is the {@link MainThread} given here, and every
 * callback of this binding runs there (replies that arrive on the library's network thread are
 * posted to it). {@link #onLogout}, {@link #onCreateAccount} and the {@link Container} calls
 * must be made on it ({@link Status#WRONG_THREAD} elsewhere); the rest may be called from any
 * thread. Failures throw {@link ZelkException}.
 */
public final class Client extends Handle {
  /** Where the client keeps the device identity and what it reports about the device. */
  public static final class Options {
    String baseUrl, preferencesPath, model, systemName, systemVersion, vendorId, caFile;
    int preferences;

    /** Prefix of every service URL, e.g. "http://127.0.0.1:8080"; default: the service's. */
    public Options baseUrl(String url) {
      baseUrl = url;
      return this;
    }

    /** Keeps the device identity in memory only. */
    public Options inMemoryPreferences() {
      preferences = 1;
      return this;
    }

    /** Keeps the device identity in the JSON file at {@code path} (an app's files folder). */
    public Options preferencesFile(String path) {
      preferences = 2;
      preferencesPath = path;
      return this;
    }

    /** The facts reported for this device; {@code vendorId} null: a fresh one per request. */
    public Options device(String model, String systemName, String systemVersion, String vendorId) {
      this.model = model;
      this.systemName = systemName;
      this.systemVersion = systemVersion;
      this.vendorId = vendorId;
      return this;
    }

    /** An extra PEM bundle of certificate authorities to trust. */
    public Options caFile(String path) {
      caFile = path;
      return this;
    }
  }

  private final MainThread main;

  /** Makes a client for the project {@code clientId} whose main thread is {@code main}. */
  public Client(String clientId, MainThread main, Options options) {
    super(make(clientId, main, options == null ? new Options() : options));
    this.main = main;
  }

  private static long make(String clientId, MainThread main, Options o) {
    return Native.clientNew(
        Native.utf8(clientId),
        main,
        Native.utf8(o.baseUrl),
        o.preferences,
        Native.utf8(o.preferencesPath),
        Native.utf8(o.model),
        Native.utf8(o.systemName),
        Native.utf8(o.systemVersion),
        Native.utf8(o.vendorId),
        Native.utf8(o.caFile));
  }

  @Override
  void free(long handle) {
    Native.clientFree(handle);
  }

  /** The thread the callbacks run on. */
  public MainThread mainThread() {
    return main;
  }

  /** Runs {@code task} on the main thread: now when already there, else posted. */
  void onMain(Runnable task) {
    if (main.isCurrentThread()) {
      task.run();
    } else {
      main.post(task, 0);
    }
  }

  /** Sets (or, with null, clears) the signed-in user. */
  public void setUserId(String userId) {
    Native.clientSetUserId(handle(), Native.utf8(userId));
  }

  /**
   * Reports this device for the current user with {@code metadata} (may be null); {@code
   * onReply} (may be null) gets the decoded reply, not when the request fails.
   */
  public void attach(Map<String, String> metadata, Consumer<AttachResponse> onReply) {
    Native.clientAttach(handle(), Native.utf8(Json.object(metadata)), reply(onReply));
  }

  /**
   * Detaches {@code deviceId}, or this device when null; {@code onReply} gets the reply, or
   * null when there was no user or device or the reply did not decode.
   */
  public void detach(String deviceId, Consumer<AttachResponse> onReply) {
    Native.clientDetach(handle(), Native.utf8(deviceId), reply(onReply));
  }

  private Native.ReplyCallback reply(Consumer<AttachResponse> onReply) {
    if (onReply == null) return null;
    return response -> {
      AttachResponse read = AttachResponse.read(response);
      onMain(() -> onReply.accept(read));
    };
  }

  /** Asks the service to recognise this device: {@code done} gets the identity or an error. */
  public void identify(Map<String, String> metadata, BiConsumer<Identity, String> done) {
    Native.IdentifyCallback callback = null;
    if (done != null) {
      callback =
          (identity, error) -> {
            Identity read = identity == 0 ? null : new Identity(identity);
            String message = Native.text(error);
            onMain(() -> done.accept(read, message));
          };
    }
    Native.clientIdentify(handle(), Native.utf8(Json.object(metadata)), callback);
  }

  /** Waits until no service call is in flight, or {@code timeout}; whether none is left. */
  public boolean flush(Duration timeout) {
    return Native.clientFlush(handle(), timeout.toMillis());
  }

  /** The service's ID of this device, or null. */
  public String deviceId() {
    return Native.text(Native.clientDeviceId(handle()));
  }

  /** The device identity kept in the preferences, or null. */
  public String identity() {
    return Native.text(Native.clientIdentity(handle()));
  }

  /** {@code callback} runs when the service logs this device out. Main thread. */
  public void onLogout(Runnable callback) {
    Native.clientOnLogout(handle(), callback);
  }

  /** {@code callback} runs when the user asks for an account of their own. Main thread. */
  public void onCreateAccount(Runnable callback) {
    Native.clientOnCreateAccount(handle(), callback);
  }

  /** Tells the client of a lifecycle change (detach when leaving, attach when back). */
  public void postAppEvent(AppEvent event) {
    Native.clientPostAppEvent(handle(), event.ordinal());
  }
}
