// SPDX-License-Identifier: Apache-2.0
#include "service/projects.hpp"

namespace zelk::server {

ProjectCache::Held ProjectCache::find(const std::string& clientId) const {
  std::shared_lock lock(mutex_);
  if (const auto found = projects_.find(clientId); found != projects_.end())
    return {true, found->second};
  if (const auto unknown = unknown_.find(clientId);
      unknown != unknown_.end() && std::chrono::steady_clock::now() < unknown->second)
    return {true, nullptr};
  return {};
}

void ProjectCache::put(const std::string& clientId, std::optional<Project> project,
                       std::uint64_t generation) {
  std::unique_lock lock(mutex_);
  if (generation != generation_) return;
  if (project) {
    unknown_.erase(clientId);
    projects_[clientId] = std::make_shared<const Project>(std::move(*project));
    return;
  }
  projects_.erase(clientId);
  if (!rememberUnknown_) return;
  const auto now = std::chrono::steady_clock::now();
  if (unknown_.size() >= kMaxUnknown) {
    std::erase_if(unknown_, [&](const auto& entry) { return entry.second <= now; });
    if (unknown_.size() >= kMaxUnknown) return;
  }
  unknown_[clientId] = now + kUnknownFor;
}

void ProjectCache::putAll(const std::vector<Project>& projects, std::uint64_t generation) {
  std::unique_lock lock(mutex_);
  if (generation != generation_) return;
  for (const Project& project : projects)
    projects_[project.clientId] = std::make_shared<const Project>(project);
}

void ProjectCache::changed(const std::string& clientId) {
  std::unique_lock lock(mutex_);
  ++generation_;
  if (clientId.empty()) {
    unknown_.clear();
  } else {
    unknown_.erase(clientId);
  }
}

std::uint64_t ProjectCache::generation() const {
  std::shared_lock lock(mutex_);
  return generation_;
}

std::vector<std::shared_ptr<const Project>> ProjectCache::all() const {
  std::shared_lock lock(mutex_);
  std::vector<std::shared_ptr<const Project>> all;
  for (const auto& [id, project] : projects_) all.push_back(project);
  return all;
}

}  // namespace zelk::server
