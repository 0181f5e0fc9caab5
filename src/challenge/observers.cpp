// SPDX-License-Identifier: Apache-2.0
#include <zelk/observers.hpp>

#include <algorithm>

namespace zelk {

Observers::Token Observers::add(Observer observer) {
  list_.emplace_back(next_, std::move(observer));
  return next_++;
}

void Observers::remove(Token token) {
  std::erase_if(list_, [token](const auto& entry) { return entry.first == token; });
}

void Observers::notify() const {
  // A copy, so that observers may add or remove observers while being called.
  const auto snapshot = list_;
  for (const auto& [token, observer] : snapshot) {
    // Captured by copy under its own name: clang before 16 cannot capture a structured binding.
    const bool stillThere =
        std::any_of(list_.begin(), list_.end(),
                    [token = token](const auto& entry) { return entry.first == token; });
    if (stillThere && observer) observer();
  }
}

}  // namespace zelk
