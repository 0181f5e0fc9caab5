// SPDX-License-Identifier: Apache-2.0
package com.zelk.sdk;

/** A call of the library failed; {@link #status()} says how, the message says why. */
public final class ZelkException extends RuntimeException {
  private static final long serialVersionUID = 1L;
  private final Status status;

  /** Made by the native layer with the C interface's status and message. */
  ZelkException(int status, String message) {
    super(Status.of(status) + ": " + message);
    this.status = Status.of(status);
  }

  /** What kind of failure it was. */
  public Status status() {
    return status;
  }
}
