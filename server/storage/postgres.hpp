// SPDX-License-Identifier: Apache-2.0
// A small owner for libpq's connections and results, enough for the PostgreSQL store: statements
// with bound parameters (never values spliced into SQL), results read by row and column, errors as
// StoreError with a message that never shows the connection's password.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "storage/store.hpp"

struct pg_conn;
struct pg_result;

namespace zelk::server::pg {

// Where a connection URI points, as "host:port/database", without user or password.
std::string whereOf(const std::string& url);

// The values bound to a statement's $1, $2, ..., sent as text; the server converts them to the
// columns' types.
class Params {
 public:
  Params& add(std::string value) {
    values_.push_back(std::move(value));
    nulls_.push_back(false);
    return *this;
  }
  Params& add(const char* value) { return add(std::string(value)); }
  Params& add(std::int64_t value) { return add(std::to_string(value)); }
  Params& add(std::uint64_t value) { return add(std::to_string(value)); }
  Params& add(int value) { return add(std::to_string(value)); }
  Params& add(bool value) { return add(std::string(value ? "true" : "false")); }
  Params& addNull() {
    values_.emplace_back();
    nulls_.push_back(true);
    return *this;
  }
  // A text[] of `items`, quoted as PostgreSQL reads array input.
  Params& addArray(const std::vector<std::string>& items);
  // A bigint[] or boolean[] of `items`.
  Params& addNumbers(const std::vector<std::int64_t>& items);
  Params& addBooleans(const std::vector<bool>& items);

  int size() const { return static_cast<int>(values_.size()); }
  std::vector<const char*> pointers() const;

 private:
  std::vector<std::string> values_;
  std::vector<bool> nulls_;
};

class Result {
 public:
  explicit Result(pg_result* result) : result_(result) {}
  ~Result();
  Result(Result&& other) noexcept : result_(other.result_) { other.result_ = nullptr; }
  Result& operator=(Result&& other) noexcept;
  Result(const Result&) = delete;
  Result& operator=(const Result&) = delete;

  int rows() const;
  bool null(int row, int column) const;
  std::string text(int row, int column) const;
  std::int64_t integer(int row, int column) const;  // 0 for NULL
  bool boolean(int row, int column) const;          // false for NULL

 private:
  pg_result* result_ = nullptr;
};

// A statement the server refused; `state` is its SQLSTATE (e.g. "40P01", a deadlock).
class QueryError : public StoreError {
 public:
  QueryError(const std::string& what, std::string state)
      : StoreError(what), state_(std::move(state)) {}
  const std::string& state() const { return state_; }
  // Whether running it again may well succeed: a deadlock or a serialization failure.
  bool transient() const { return state_ == "40P01" || state_ == "40001"; }

 private:
  std::string state_;
};

// A statement prepared once per connection under `name` (nullptr: sent as it is, each time),
// with its parameters.
struct Prepared {
  const char* name;
  const char* sql;
  Params params;
};

// One connection. Not for several threads at once.
class Connection {
 public:
  // Connects to `url` (waiting at most `timeoutSeconds`); StoreError naming `where` otherwise.
  static std::unique_ptr<Connection> open(const std::string& url, const std::string& where,
                                          int timeoutSeconds = 5);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Runs one or more statements without parameters (and without results worth reading).
  void execute(const char* sql);
  // Runs one statement with bound parameters.
  Result query(const char* sql, const Params& params = Params());
  // Runs a statement prepared on this connection once, under its name.
  Result run(const Prepared& statement);
  // Runs the statements one after the other in one round trip (libpq's pipeline mode), each
  // prepared once; one that fails fails the rest (throws). Wrap them in BEGIN and COMMIT to have
  // them written all or none.
  std::vector<Result> pipeline(const std::vector<Prepared>& statements);

  // Whether the connection is lost.
  bool broken() const;
  // Whether it is idle, outside any transaction: the state a pooled connection is given back in.
  bool idle() const;
  int socket() const;
  pg_conn* handle() const { return conn_; }

 private:
  Connection(pg_conn* conn, std::string where) : conn_(conn), where_(std::move(where)) {}
  [[noreturn]] void fail(const char* what, pg_result* result);
  void prepare(const Prepared& statement);

  pg_conn* conn_ = nullptr;
  std::string where_;
  std::set<std::string> prepared_;
};

}  // namespace zelk::server::pg
