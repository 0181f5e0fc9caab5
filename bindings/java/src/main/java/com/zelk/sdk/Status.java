// SPDX-License-Identifier: Apache-2.0
package com.zelk.sdk;

/** The statuses of the C interface; every one but {@link #OK} comes as a {@link ZelkException}. */
public enum Status {
  OK(0),
  NULL_ARGUMENT(1),
  INVALID_HANDLE(2),
  INVALID_UTF8(3),
  INVALID_ARGUMENT(4),
  WRONG_THREAD(5),
  REENTRANT(6),
  UNAVAILABLE(7),
  OUT_OF_RANGE(8),
  NO_MEMORY(9),
  INTERNAL(10),
  /** A status this version of the binding does not know. */
  UNKNOWN(-1);

  private final int code;

  Status(int code) {
    this.code = code;
  }

  /** The C interface's number for it. */
  public int code() {
    return code;
  }

  /** The status with the C interface's number {@code code}. */
  public static Status of(int code) {
    for (Status status : values()) {
      if (status.code == code) return status;
    }
    return UNKNOWN;
  }
}
