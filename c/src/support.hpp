// SPDX-License-Identifier: Apache-2.0
// What every part of the C interface shares: the table of handles, the thread's last error, the
// guard that turns exceptions into statuses, the reading and writing of strings, the host's
// callbacks and the main queues the interface makes.
#pragma once

#include <zelk/zelk.h>
#include <zelk/main_queue.hpp>

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace zelk::capi {

// ---- Handles -------------------------------------------------------------------------------

/// The types of handle; a handle of one type is refused where another is expected.
enum class Kind : std::uint8_t {
  runLoop = 1,
  task,
  client,
  container,
  screen,
  attachResponse,
  identity,
  deviceList,
  challenge,
  deviceLimit,
};

/// Every live handle of the process. A handle's value packs a slot index and the slot's
/// generation, which changes when the slot is freed: a freed handle, or one made up, finds no
/// object and is refused, without anything being dereferenced.
class Registry {
 public:
  static Registry& instance();

  /// A new handle for `object`.
  void* insert(Kind kind, std::shared_ptr<void> object);
  /// The object of `handle`, or null when it is not a live handle of `kind`.
  std::shared_ptr<void> find(const void* handle, Kind kind) const;
  /// Removes `handle` and gives its object back (for the caller to release outside the lock),
  /// or null when it is not a live handle of `kind`.
  std::shared_ptr<void> erase(const void* handle, Kind kind);

 private:
  struct Slot {
    std::uint32_t generation = 1;
    Kind kind{};
    std::shared_ptr<void> object;
  };
  // The slot index and generation a handle's value names; false when it names none.
  static bool decode(const void* handle, std::size_t& index, std::uint32_t& generation);

  mutable std::mutex mutex_;
  std::vector<Slot> slots_;
  std::vector<std::size_t> free_;
};

template <typename Handle, typename T>
Handle* makeHandle(Kind kind, std::shared_ptr<T> object) {
  return static_cast<Handle*>(Registry::instance().insert(kind, std::move(object)));
}

template <typename T>
std::shared_ptr<T> findHandle(const void* handle, Kind kind) {
  return std::static_pointer_cast<T>(Registry::instance().find(handle, kind));
}

/// A handle that lives for the length of one callback: freed when the callback returns, so a
/// host that keeps it gets ZELK_ERROR_INVALID_HANDLE afterwards.
template <typename Handle>
class ScopedHandle {
 public:
  template <typename T>
  ScopedHandle(Kind kind, std::shared_ptr<T> object)
      : kind_(kind), handle_(makeHandle<Handle>(kind, std::move(object))) {}
  ~ScopedHandle() { Registry::instance().erase(handle_, kind_); }
  ScopedHandle(const ScopedHandle&) = delete;
  ScopedHandle& operator=(const ScopedHandle&) = delete;
  Handle* get() const { return handle_; }

 private:
  Kind kind_;
  Handle* handle_;
};

// ---- Errors ----------------------------------------------------------------------------------

/// Records `message` as the calling thread's last error and returns `status`.
zelk_status fail(zelk_status status, std::string message);

/// Thrown inside a guarded body to fail with a status of its own.
struct Failure {
  zelk_status status;
  std::string message;
};

/// Runs `body`, turning every exception into a status.
template <typename Body>
zelk_status guarded(Body&& body) noexcept {
  try {
    return body();
  } catch (const Failure& failure) {
    return fail(failure.status, failure.message);
  } catch (const std::bad_alloc&) {
    return fail(ZELK_ERROR_NO_MEMORY, "out of memory");
  } catch (const std::exception& error) {
    return fail(ZELK_ERROR_INTERNAL, std::string("internal failure: ") + error.what());
  } catch (...) {
    return fail(ZELK_ERROR_INTERNAL, "internal failure");
  }
}

/// Runs `body` for a call that returns nothing (the frees), swallowing every exception.
template <typename Body>
void guardedVoid(Body&& body) noexcept {
  try {
    body();
  } catch (...) {
  }
}

[[noreturn]] inline void raise(zelk_status status, std::string message) {
  throw Failure{status, std::move(message)};
}

/// Fails with ZELK_ERROR_NULL_ARGUMENT naming `what` when `pointer` is null.
template <typename Pointer>
void require(Pointer pointer, const char* function, const char* what) {
  if (pointer == nullptr) {
    raise(ZELK_ERROR_NULL_ARGUMENT, std::string(function) + ": " + what + " is NULL");
  }
}

/// The live object of `handle`, or a failure: NULL or not a live handle of `kind`.
template <typename T>
std::shared_ptr<T> need(const void* handle, Kind kind, const char* function, const char* what) {
  require(handle, function, what);
  auto object = findHandle<T>(handle, kind);
  if (!object) {
    raise(ZELK_ERROR_INVALID_HANDLE, std::string(function) + ": " + what +
                                         " is not a live handle (freed already, or of "
                                         "another type)");
  }
  return object;
}

// ---- Callbacks and threads -----------------------------------------------------------------

/// How many host callbacks the calling thread is inside.
int& callbackDepth();

/// Marks the running of one host callback on this thread.
class InCallback {
 public:
  InCallback() { ++callbackDepth(); }
  ~InCallback() { --callbackDepth(); }
  InCallback(const InCallback&) = delete;
  InCallback& operator=(const InCallback&) = delete;
};

/// Fails with ZELK_ERROR_REENTRANT inside a host callback.
void refuseInsideCallback(const char* function);

/// Fails with ZELK_ERROR_WRONG_THREAD when the caller is not on `queue`'s thread.
void requireMainThread(const MainQueue& queue, const char* function);

/// A host's user data and the function that releases it, called once when the last holder (a
/// callback of the library) lets go.
class UserData {
 public:
  UserData(void* data, zelk_free_fn release) : data_(data), release_(release) {}
  ~UserData();
  UserData(const UserData&) = delete;
  UserData& operator=(const UserData&) = delete;
  void* get() const { return data_; }

 private:
  void* data_;
  zelk_free_fn release_;
};
using UserDataPtr = std::shared_ptr<UserData>;

inline UserDataPtr userData(void* data, zelk_free_fn release) {
  return std::make_shared<UserData>(data, release);
}

/// A main queue that is a `RunLoop` whose main thread is fixed: the thread that made the loop
/// (or, for the process-wide loop, the first thread that asked for it). A `RunLoop` counts only
/// the thread running it as current; the host's calls come between runs, from the same thread.
class LoopQueue;

/// The queue of a run-loop handle.
std::shared_ptr<MainQueue> loopQueue(zelk_run_loop* loop, const char* function);
/// The queue of the process-wide loop.
std::shared_ptr<MainQueue> mainLoopQueue();
/// A queue that hands the library's tasks to the host's `post` hook.
std::shared_ptr<MainQueue> hookQueue(zelk_post_fn post, zelk_is_main_thread_fn isMainThread,
                                     UserDataPtr user);
/// A task handle for `task`, run by zelk_task_run on the main thread of `queue`.
zelk_task* makeTask(MainQueue::Task task, std::weak_ptr<MainQueue> queue);

/// Lets go of `object` on `queue`'s thread: at once when the caller is there outside callbacks,
/// else from a task on the queue (dropped with the queue when it never runs).
void releaseOnMainThread(std::shared_ptr<void> object, const std::shared_ptr<MainQueue>& queue);

// ---- Strings ---------------------------------------------------------------------------------

/// Whether `text` is well-formed UTF-8 (no overlong forms, surrogates or values past U+10FFFF).
bool isValidUTF8(std::string_view text);

/// An input string: absent for a NULL pointer (when `optional`), else checked for UTF-8.
std::optional<std::string_view> readText(const char* text, std::size_t length, const char* function,
                                         const char* what, bool optional = false);

/// Hands `text` out as a string the caller frees; absent: NULL.
void writeText(const std::optional<std::string>& text, char** out, std::size_t* length);

/// Clears an out-pointer first, so that a failed call leaves nothing behind.
template <typename T>
void clear(T* out) {
  if (out != nullptr) *out = T{};
}

}  // namespace zelk::capi

/// The text a producing callback writes with zelk_text_set.
struct zelk_text {
  std::optional<std::string> value;
};
