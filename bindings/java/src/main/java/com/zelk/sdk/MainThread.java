// SPDX-License-Identifier: Apache-2.0
package com.zelk.sdk;

import java.util.concurrent.ScheduledThreadPoolExecutor;
import java.util.concurrent.TimeUnit;

/**
 * The thread the host names for the library's main-thread work and for every callback of this
 * binding. On Android it is the main looper:
 *
 * <pre>{@code
 * Handler handler = new Handler(Looper.getMainLooper());
 * MainThread main = new MainThread() {
 *   public void post(Runnable task, long delayMillis) { handler.postDelayed(task, delayMillis); }
 *   public boolean isCurrentThread() { return Looper.myLooper() == Looper.getMainLooper(); }
 * };
 * }</pre>
 *
 * <p>Implementations must accept posts from any thread and run tasks one at a time, in order.
 */
public interface MainThread {
  /** Runs {@code task} on the main thread after {@code delayMillis}; never inside this call. */
  void post(Runnable task, long delayMillis);

  /** Whether the calling thread is the main thread. Called from any thread. */
  boolean isCurrentThread();

  /** A main thread of its own, named {@code name}: for hosts without a UI loop, and tests. */
  static Dedicated newThread(String name) {
    return new Dedicated(name);
  }

  /** A daemon thread that runs the posted tasks; {@link #close()} ends it. */
  final class Dedicated implements MainThread, AutoCloseable {
    private final ScheduledThreadPoolExecutor executor;
    private volatile Thread thread;

    Dedicated(String name) {
      executor =
          new ScheduledThreadPoolExecutor(
              1,
              task -> {
                Thread made = new Thread(task, name);
                made.setDaemon(true);
                thread = made;
                return made;
              });
      executor.prestartCoreThread();
    }

    @Override
    public void post(Runnable task, long delayMillis) {
      executor.schedule(task, Math.max(delayMillis, 0), TimeUnit.MILLISECONDS);
    }

    @Override
    public boolean isCurrentThread() {
      return Thread.currentThread() == thread;
    }

    /** The thread. */
    public Thread thread() {
      return thread;
    }

    /** Stops taking tasks and ends the thread once the queued ones have run. */
    @Override
    public void close() {
      executor.shutdown();
    }
  }
}
