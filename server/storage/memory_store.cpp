// SPDX-License-Identifier: Apache-2.0
#include "storage/store.hpp"

namespace zelk::server {
namespace {

class MemoryStore final : public Store {
 public:
  std::string describe() const override { return "memory"; }
  Dataset load() override { return {}; }
  void commit(const Changes&) override {}
};

}  // namespace

std::unique_ptr<Store> makeMemoryStore() {
  return std::make_unique<MemoryStore>();
}

}  // namespace zelk::server
