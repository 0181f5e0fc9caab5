// SPDX-License-Identifier: Apache-2.0
// How the service's asynchronous calls report.
#pragma once

#include <functional>
#include <optional>

namespace zelk::server {

// How a call ended when it has no result.
enum class Failure {
  none,
  unknownProject,  // the client id is no project that answers
  unavailable,     // the store could not be reached, or did not take the changes
  badSignature,    // the project wants its users signed, and this one was not, or wrongly
};

template <class T>
struct Outcome {
  std::optional<T> value;  // the result, unless the call failed
  Failure failure = Failure::none;
};

template <class T>
using Done = std::function<void(Outcome<T>)>;

}  // namespace zelk::server
