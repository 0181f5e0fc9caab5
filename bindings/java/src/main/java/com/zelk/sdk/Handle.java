// SPDX-License-Identifier: Apache-2.0
package com.zelk.sdk;

/**
 * A C handle owned by a Java object. {@link #close()} frees it; a closed object passes the
 * freed handle on, which the library refuses with {@link Status#INVALID_HANDLE}.
 */
abstract class Handle implements AutoCloseable {
  private long handle;
  private long freed;

  Handle(long handle) {
    this.handle = handle;
  }

  /** The handle for a call: the live one, or the freed one for the library to refuse. */
  final synchronized long handle() {
    return handle != 0 ? handle : freed;
  }

  abstract void free(long handle);

  @Override
  public final synchronized void close() {
    if (handle == 0) return;
    free(handle);
    freed = handle;
    handle = 0;
  }
}
