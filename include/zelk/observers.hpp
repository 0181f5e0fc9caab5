// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <zelk/export.hpp>

#include <cstdint>
#include <functional>
#include <utility>
#include <vector>

namespace zelk {

/// The observers of a main-thread object, called after each of its changes.
///
/// Threads: the owner's thread only.
class ZELK_EXPORT Observers {
 public:
  using Observer = std::function<void()>;  ///< Called after each change of the owner.
  using Token = std::uint64_t;             ///< Identifies one registration.

  /// Registers `observer`; returns the token that removes it.
  Token add(Observer observer);
  /// Unregisters the observer of `token`; unknown tokens are ignored.
  void remove(Token token);

  /// Calls the observers registered now, in the order they were added. An observer may add or
  /// remove observers; one removed before its turn is not called. The list must outlive the
  /// call.
  void notify() const;

 private:
  std::vector<std::pair<Token, Observer>> list_;
  Token next_ = 1;
};

}  // namespace zelk
