// SPDX-License-Identifier: Apache-2.0
package com.zelk.sdk;

import java.nio.charset.StandardCharsets;

/**
 * The functions of the C interface, one native method each (libzelk-jni). Texts cross as UTF-8
 * bytes; handles as longs. Every failing status is thrown as a {@link ZelkException}.
 */
final class Native {
  private Native() {}

  static {
    String path = System.getProperty("zelk.jni.library");
    if (path != null && !path.isEmpty()) {
      System.load(path);
    } else {
      System.loadLibrary("zelk-jni");
    }
  }

  /** Called for attach and detach replies (0: none) while the reply handle is valid. */
  interface ReplyCallback {
    void call(long response);
  }

  /** Called for identify: an identity handle, or 0 and the error's bytes. */
  interface IdentifyCallback {
    void call(long identity, byte[] error);
  }

  /**
   * The bytes of {@code text} in UTF-8; a lone surrogate is written as its own three bytes, which
   * are not UTF-8, so that the library refuses it rather than the binding changing the text.
   */
  static byte[] utf8(String text) {
    if (text == null) return null;
    java.io.ByteArrayOutputStream out = new java.io.ByteArrayOutputStream(text.length());
    for (int i = 0; i < text.length(); ) {
      int point = text.codePointAt(i);
      i += Character.charCount(point);
      if (point < 0x80) {
        out.write(point);
      } else if (point < 0x800) {
        out.write(0xC0 | (point >> 6));
        out.write(0x80 | (point & 0x3F));
      } else if (point < 0x10000) {
        out.write(0xE0 | (point >> 12));
        out.write(0x80 | ((point >> 6) & 0x3F));
        out.write(0x80 | (point & 0x3F));
      } else {
        out.write(0xF0 | (point >> 18));
        out.write(0x80 | ((point >> 12) & 0x3F));
        out.write(0x80 | ((point >> 6) & 0x3F));
        out.write(0x80 | (point & 0x3F));
      }
    }
    return out.toByteArray();
  }

  static String text(byte[] bytes) {
    return bytes == null ? null : new String(bytes, StandardCharsets.UTF_8);
  }

  // Called by the native layer: the C interface's post hook and main-thread question.
  static void post(MainThread main, long task, long delayMillis) {
    try {
      main.post(() -> taskRun(task), delayMillis);
    } catch (java.util.concurrent.RejectedExecutionException ended) {
      taskFree(task); // a main thread that has ended drops the library's work
    }
  }

  static boolean isMainThread(MainThread main) {
    return main.isCurrentThread();
  }

  static ZelkException error(int status, byte[] message) {
    return new ZelkException(status, message == null ? "" : text(message));
  }

  static native byte[] version();

  static native int abiVersion();

  static native void taskRun(long task);

  static native void taskFree(long task);

  static native long clientNew(
      byte[] clientId,
      MainThread main,
      byte[] baseUrl,
      int preferences,
      byte[] preferencesPath,
      byte[] model,
      byte[] systemName,
      byte[] systemVersion,
      byte[] vendorId,
      byte[] caFile);

  static native void clientFree(long client);

  static native void clientSetUserId(long client, byte[] userId);

  static native void clientAttach(long client, byte[] metadataJson, ReplyCallback callback);

  static native void clientDetach(long client, byte[] deviceId, ReplyCallback callback);

  static native void clientIdentify(long client, byte[] metadataJson, IdentifyCallback callback);

  static native boolean clientFlush(long client, long timeoutMillis);

  static native byte[] clientDeviceId(long client);

  static native byte[] clientIdentity(long client);

  static native void clientOnLogout(long client, Runnable callback);

  static native void clientOnCreateAccount(long client, Runnable callback);

  static native void clientPostAppEvent(long client, int event);

  static native byte[] attachResponseText(long response, int field);

  /** The number, or {@code Long.MIN_VALUE} when the reply does not have it. */
  static native long attachResponseNumber(long response, int field);

  static native byte[] attachResponseJson(long response);

  static native byte[] identityText(long identity);

  static native double identityConfidence(long identity);

  static native void deviceListFree(long list);

  static native int deviceListCount(long list);

  static native byte[] deviceListText(long list, int index, int field);

  /** Milliseconds since the epoch, or {@code Long.MIN_VALUE} when absent. */
  static native long deviceListDate(long list, int index, int field);

  static native void challengeFree(long challenge);

  static native byte[] challengeText(long challenge, int field);

  static native byte[] challengeJson(long challenge);

  static native void deviceLimitFree(long limit);

  static native long deviceLimitNumber(long limit, int field);

  static native byte[] deviceLimitJson(long limit);

  static native long containerNew(long client);

  static native void containerFree(long container);

  static native void containerSetScenePhase(long container, int phase);

  static native boolean containerFlag(long container, int state);

  static native byte[] containerCurrentDeviceId(long container);

  static native long containerChallenge(long container);

  static native long containerAttachedDevices(long container);

  static native long containerSubscribe(long container, Runnable callback);

  static native void containerUnsubscribe(long container, long token);

  static native long containerScreen(long container);

  static native boolean containerBack(long container);

  static native void screenFree(long screen);

  static native int screenKind(long screen);

  static native byte[] screenText(long screen, int value);

  static native long screenNumber(long screen, int value);

  static native long screenDeviceLimit(long screen);

  static native long screenSelectedDevices(long screen);

  static native int screenChildCount(long screen, long parent);

  static native long screenChild(long screen, long parent, int position);

  static native byte[] screenElementText(long screen, long element, int field);

  static native long screenElementNumber(long screen, long element, int field);

  static native boolean screenPerform(long screen, byte[] action);

  static native boolean screenToggleDevice(long screen, byte[] deviceId);

  static native int screenTypeCode(long screen, byte[] text);

  static native boolean screenDeleteCodeCharacter(long screen);

  static native void screenTapCodeBox(long screen, int index);
}
