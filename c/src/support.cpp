// SPDX-License-Identifier: Apache-2.0
// The table of handles, errors, strings, and the main queues: run loops and the host's hook.
#include "support.hpp"

#include <zelk/run_loop.hpp>
#include <zelk/version.hpp>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace zelk::capi {

namespace {

// A handle's value: the slot index plus one in the low bits, the generation above them. 32-bit
// systems keep 20 bits of index (a million live handles) and 12 of generation.
constexpr unsigned kIndexBits = sizeof(std::uintptr_t) >= 8 ? 32 : 20;
constexpr std::uintptr_t kIndexMask = (std::uintptr_t{1} << kIndexBits) - 1;
constexpr std::uint32_t kGenerationMask =
    sizeof(std::uintptr_t) >= 8 ? 0xFFFFFFFFu : (1u << (32 - kIndexBits)) - 1;

thread_local std::optional<std::string> lastError;
thread_local int depth = 0;

}  // namespace

Registry& Registry::instance() {
  // Never destroyed: handles may be freed by other static objects' destructors at exit.
  static Registry* registry = new Registry;
  return *registry;
}

bool Registry::decode(const void* handle, std::size_t& index, std::uint32_t& generation) {
  const auto value = reinterpret_cast<std::uintptr_t>(handle);
  const std::uintptr_t low = value & kIndexMask;
  if (low == 0) return false;
  index = static_cast<std::size_t>(low - 1);
  generation = static_cast<std::uint32_t>(value >> kIndexBits) & kGenerationMask;
  return true;
}

void* Registry::insert(Kind kind, std::shared_ptr<void> object) {
  std::lock_guard lock(mutex_);
  std::size_t index;
  if (!free_.empty()) {
    index = free_.back();
    free_.pop_back();
  } else {
    if (slots_.size() >= kIndexMask) throw std::bad_alloc();
    index = slots_.size();
    slots_.emplace_back();
  }
  Slot& slot = slots_[index];
  slot.kind = kind;
  slot.object = std::move(object);
  const std::uintptr_t value =
      (static_cast<std::uintptr_t>(slot.generation) << kIndexBits) | (index + 1);
  return reinterpret_cast<void*>(value);
}

std::shared_ptr<void> Registry::find(const void* handle, Kind kind) const {
  std::size_t index;
  std::uint32_t generation;
  if (!decode(handle, index, generation)) return nullptr;
  std::lock_guard lock(mutex_);
  if (index >= slots_.size()) return nullptr;
  const Slot& slot = slots_[index];
  if (slot.generation != generation || slot.kind != kind || !slot.object) return nullptr;
  return slot.object;
}

std::shared_ptr<void> Registry::erase(const void* handle, Kind kind) {
  std::size_t index;
  std::uint32_t generation;
  if (!decode(handle, index, generation)) return nullptr;
  std::lock_guard lock(mutex_);
  if (index >= slots_.size()) return nullptr;
  Slot& slot = slots_[index];
  if (slot.generation != generation || slot.kind != kind || !slot.object) return nullptr;
  auto object = std::move(slot.object);
  slot.object = nullptr;
  slot.generation = (slot.generation + 1) & kGenerationMask;
  if (slot.generation == 0) slot.generation = 1;
  free_.push_back(index);
  return object;
}

zelk_status fail(zelk_status status, std::string message) {
  try {
    lastError = std::move(message);
  } catch (...) {
    lastError.reset();
  }
  return status;
}

int& callbackDepth() {
  return depth;
}

void refuseInsideCallback(const char* function) {
  if (depth > 0) {
    raise(ZELK_ERROR_REENTRANT, std::string(function) +
                                    " cannot be called inside a zelk callback: post it to your "
                                    "main loop and call it from there");
  }
}

void requireMainThread(const MainQueue& queue, const char* function) {
  bool current;
  {
    InCallback hook;  // the host's is_main_thread may run here
    current = queue.isCurrentThread();
  }
  if (!current) {
    raise(ZELK_ERROR_WRONG_THREAD,
          std::string(function) + " must be called on the client's main thread");
  }
}

UserData::~UserData() {
  if (release_ != nullptr) {
    InCallback hook;
    release_(data_);
  }
}

// ---- Main queues -----------------------------------------------------------------------------

class LoopQueue final : public MainQueue {
 public:
  LoopQueue(std::shared_ptr<RunLoop> loop, std::thread::id owner)
      : loop_(std::move(loop)), owner_(owner) {}
  void post(Task task) override { loop_->post(std::move(task)); }
  void postAfter(std::chrono::milliseconds delay, Task task) override {
    loop_->postAfter(delay, std::move(task));
  }
  bool isCurrentThread() const override { return std::this_thread::get_id() == owner_; }
  RunLoop& loop() const { return *loop_; }

 private:
  std::shared_ptr<RunLoop> loop_;
  std::thread::id owner_;
};

namespace {

struct RunLoopHandle {
  std::shared_ptr<LoopQueue> queue;
};

std::shared_ptr<LoopQueue> processLoop() {
  static const auto queue =
      std::make_shared<LoopQueue>(RunLoop::main(), std::this_thread::get_id());
  return queue;
}

class HookQueue final : public MainQueue, public std::enable_shared_from_this<HookQueue> {
 public:
  HookQueue(zelk_post_fn post, zelk_is_main_thread_fn isMainThread, UserDataPtr user)
      : post_(post), isMainThread_(isMainThread), user_(std::move(user)) {}

  void post(Task task) override { postAfter(std::chrono::milliseconds(0), std::move(task)); }
  void postAfter(std::chrono::milliseconds delay, Task task) override {
    zelk_task* handle = makeTask(std::move(task), weak_from_this());
    InCallback hook;
    post_(user_->get(), handle,
          static_cast<std::uint64_t>(std::max<std::chrono::milliseconds::rep>(delay.count(), 0)));
  }
  bool isCurrentThread() const override {
    InCallback hook;
    return isMainThread_(user_->get());
  }

 private:
  zelk_post_fn post_;
  zelk_is_main_thread_fn isMainThread_;
  UserDataPtr user_;
};

struct TaskBox {
  MainQueue::Task task;
  std::weak_ptr<MainQueue> queue;
};

std::chrono::milliseconds toDuration(std::uint64_t ms) {
  constexpr auto most = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max() / 2);
  return ms >= most ? std::chrono::milliseconds::max()
                    : std::chrono::milliseconds(static_cast<std::int64_t>(ms));
}

}  // namespace

std::shared_ptr<MainQueue> loopQueue(zelk_run_loop* loop, const char* function) {
  return need<RunLoopHandle>(loop, Kind::runLoop, function, "run_loop")->queue;
}

std::shared_ptr<MainQueue> mainLoopQueue() {
  return processLoop();
}

std::shared_ptr<MainQueue> hookQueue(zelk_post_fn post, zelk_is_main_thread_fn isMainThread,
                                     UserDataPtr user) {
  return std::make_shared<HookQueue>(post, isMainThread, std::move(user));
}

zelk_task* makeTask(MainQueue::Task task, std::weak_ptr<MainQueue> queue) {
  return makeHandle<zelk_task>(
      Kind::task, std::make_shared<TaskBox>(TaskBox{std::move(task), std::move(queue)}));
}

void releaseOnMainThread(std::shared_ptr<void> object, const std::shared_ptr<MainQueue>& queue) {
  if (!object) return;
  bool here = false;
  if (depth == 0) {
    InCallback hook;
    here = queue->isCurrentThread();
  }
  if (here) {
    object.reset();
  } else {
    queue->post([object = std::move(object)] {});
  }
}

// ---- Strings ---------------------------------------------------------------------------------

bool isValidUTF8(std::string_view text) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t size = text.size();
  for (std::size_t at = 0; at < size;) {
    const unsigned char lead = bytes[at];
    if (lead < 0x80) {
      ++at;
      continue;
    }
    std::size_t extra;
    std::uint32_t value;
    if (lead >= 0xC2 && lead <= 0xDF) {
      extra = 1;
      value = lead & 0x1Fu;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      extra = 2;
      value = lead & 0x0Fu;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      extra = 3;
      value = lead & 0x07u;
    } else {
      return false;
    }
    if (size - at <= extra) return false;
    for (std::size_t i = 1; i <= extra; ++i) {
      const unsigned char next = bytes[at + i];
      if ((next & 0xC0) != 0x80) return false;
      value = (value << 6) | (next & 0x3Fu);
    }
    if ((extra == 2 && (value < 0x800 || (value >= 0xD800 && value <= 0xDFFF))) ||
        (extra == 3 && (value < 0x10000 || value > 0x10FFFF))) {
      return false;
    }
    at += extra + 1;
  }
  return true;
}

std::optional<std::string_view> readText(const char* text, std::size_t length, const char* function,
                                         const char* what, bool optional) {
  if (text == nullptr) {
    if (optional) return std::nullopt;
    raise(ZELK_ERROR_NULL_ARGUMENT, std::string(function) + ": " + what + " is NULL");
  }
  const std::string_view view(text, length == ZELK_NUL_TERMINATED ? std::strlen(text) : length);
  if (!isValidUTF8(view)) {
    raise(ZELK_ERROR_INVALID_UTF8, std::string(function) + ": " + what + " is not valid UTF-8");
  }
  return view;
}

void writeText(const std::optional<std::string>& text, char** out, std::size_t* length) {
  if (!text) {
    *out = nullptr;
    if (length != nullptr) *length = 0;
    return;
  }
  auto* copy = static_cast<char*>(std::malloc(text->size() + 1));
  if (copy == nullptr) throw std::bad_alloc();
  std::memcpy(copy, text->data(), text->size());
  copy[text->size()] = '\0';
  *out = copy;
  if (length != nullptr) *length = text->size();
}

}  // namespace zelk::capi

using namespace zelk::capi;

extern "C" {

const char* zelk_status_name(zelk_status status) {
  switch (status) {
    case ZELK_OK:
      return "ZELK_OK";
    case ZELK_ERROR_NULL_ARGUMENT:
      return "ZELK_ERROR_NULL_ARGUMENT";
    case ZELK_ERROR_INVALID_HANDLE:
      return "ZELK_ERROR_INVALID_HANDLE";
    case ZELK_ERROR_INVALID_UTF8:
      return "ZELK_ERROR_INVALID_UTF8";
    case ZELK_ERROR_INVALID_ARGUMENT:
      return "ZELK_ERROR_INVALID_ARGUMENT";
    case ZELK_ERROR_WRONG_THREAD:
      return "ZELK_ERROR_WRONG_THREAD";
    case ZELK_ERROR_REENTRANT:
      return "ZELK_ERROR_REENTRANT";
    case ZELK_ERROR_UNAVAILABLE:
      return "ZELK_ERROR_UNAVAILABLE";
    case ZELK_ERROR_OUT_OF_RANGE:
      return "ZELK_ERROR_OUT_OF_RANGE";
    case ZELK_ERROR_NO_MEMORY:
      return "ZELK_ERROR_NO_MEMORY";
    case ZELK_ERROR_INTERNAL:
      return "ZELK_ERROR_INTERNAL";
    default:
      return "ZELK_STATUS_UNKNOWN";
  }
}

zelk_status zelk_last_error(char** message, size_t* length) {
  clear(length);
  if (message == nullptr) return fail(ZELK_ERROR_NULL_ARGUMENT, "zelk_last_error: message is NULL");
  *message = nullptr;
  // Read before the guard: a failure of this call itself must not replace it.
  std::optional<std::string> copy;
  try {
    copy = lastError;
    writeText(copy, message, length);
  } catch (...) {
    return ZELK_ERROR_NO_MEMORY;
  }
  return ZELK_OK;
}

void zelk_string_free(char* string) {
  std::free(string);
}

const char* zelk_version(void) {
  return ZELK_VERSION;
}

int zelk_abi_version(void) {
  return ZELK_ABI_VERSION;
}

zelk_status zelk_text_set(zelk_text* out, const char* text, size_t length) {
  return guarded([&, function = __func__] {
    require(out, function, "out");
    const auto value = readText(text, length, function, "text", true);
    if (value) {
      out->value = std::string(*value);
    } else {
      out->value.reset();
    }
    return ZELK_OK;
  });
}

zelk_status zelk_run_loop_new(zelk_run_loop** out) {
  clear(out);
  return guarded([&, function = __func__] {
    require(out, function, "out");
    auto handle = std::make_shared<RunLoopHandle>();
    handle->queue =
        std::make_shared<LoopQueue>(std::make_shared<zelk::RunLoop>(), std::this_thread::get_id());
    *out = makeHandle<zelk_run_loop>(Kind::runLoop, std::move(handle));
    return ZELK_OK;
  });
}

zelk_status zelk_run_loop_main(zelk_run_loop** out) {
  clear(out);
  return guarded([&, function = __func__] {
    require(out, function, "out");
    auto handle = std::make_shared<RunLoopHandle>();
    handle->queue = processLoop();
    *out = makeHandle<zelk_run_loop>(Kind::runLoop, std::move(handle));
    return ZELK_OK;
  });
}

void zelk_run_loop_free(zelk_run_loop* loop) {
  guardedVoid([&] { Registry::instance().erase(loop, Kind::runLoop); });
}

}  // extern "C"

namespace {

zelk_status runLoop(zelk_run_loop* loop, const char* function, const std::function<bool()>& done,
                    uint64_t timeout_ms, bool* satisfied) {
  auto handle = need<RunLoopHandle>(loop, Kind::runLoop, function, "loop");
  refuseInsideCallback(function);
  requireMainThread(*handle->queue, function);
  const bool result = handle->queue->loop().runUntil(done, toDuration(timeout_ms));
  if (satisfied != nullptr) *satisfied = result;
  return ZELK_OK;
}

}  // namespace

extern "C" {

zelk_status zelk_run_loop_run(zelk_run_loop* loop, uint64_t timeout_ms) {
  return guarded([&] {
    // runUntil returns when stopped or when the time is up; the predicate never holds.
    return runLoop(
        loop, "zelk_run_loop_run", [] { return false; }, timeout_ms, nullptr);
  });
}

zelk_status zelk_run_loop_run_until(zelk_run_loop* loop, zelk_predicate_fn predicate,
                                    void* user_data, uint64_t timeout_ms, bool* satisfied) {
  clear(satisfied);
  return guarded([&, function = __func__] {
    require(predicate, function, "predicate");
    return runLoop(
        loop, function,
        [&] {
          InCallback hook;
          return predicate(user_data);
        },
        timeout_ms, satisfied);
  });
}

zelk_status zelk_run_loop_stop(zelk_run_loop* loop) {
  return guarded([&, function = __func__] {
    need<RunLoopHandle>(loop, Kind::runLoop, function, "loop")->queue->loop().stop();
    return ZELK_OK;
  });
}

zelk_status zelk_task_run(zelk_task* task) {
  return guarded([&, function = __func__] {
    auto box = need<TaskBox>(task, Kind::task, function, "task");
    refuseInsideCallback(function);
    if (auto queue = box->queue.lock()) requireMainThread(*queue, function);
    // Taken out first: a task runs once, even when two threads race to run it.
    if (!Registry::instance().erase(task, Kind::task)) {
      raise(ZELK_ERROR_INVALID_HANDLE, "zelk_task_run: the task has run already");
    }
    auto work = std::move(box->task);
    box.reset();
    if (work) work();
    return ZELK_OK;
  });
}

void zelk_task_free(zelk_task* task) {
  guardedVoid([&] { Registry::instance().erase(task, Kind::task); });
}

}  // extern "C"
