// SPDX-License-Identifier: Apache-2.0
#include "storage/postgres.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <random>

#include <libpq-fe.h>

#include "storage/scratch_database.hpp"

namespace zelk::server::pg {
namespace {

// libpq's messages end with a newline and may span lines; a log line wants one.
std::string oneLine(const char* message) {
  std::string text = message ? message : "";
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  for (char& c : text) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  return text.empty() ? "unknown error" : text;
}

void ignoreNotice(void*, const char*) {}

}  // namespace

std::string whereOf(const std::string& url) {
  char* error = nullptr;
  PQconninfoOption* options = PQconninfoParse(url.c_str(), &error);
  if (!options) {
    PQfreemem(error);
    return "(an unreadable database URL)";
  }
  std::string host, port, database;
  for (PQconninfoOption* option = options; option->keyword; ++option) {
    if (!option->val) continue;
    const std::string keyword = option->keyword;
    if (keyword == "host" || (keyword == "hostaddr" && host.empty())) host = option->val;
    if (keyword == "port") port = option->val;
    if (keyword == "dbname") database = option->val;
  }
  PQconninfoFree(options);
  if (host.empty()) host = "localhost";
  if (port.empty()) port = "5432";
  return host + ":" + port + "/" + database;
}

Params& Params::addArray(const std::vector<std::string>& items) {
  std::string array = "{";
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (i) array += ',';
    array += '"';
    for (char c : items[i]) {
      if (c == '"' || c == '\\') array += '\\';
      array += c;
    }
    array += '"';
  }
  array += '}';
  return add(std::move(array));
}

Params& Params::addNumbers(const std::vector<std::int64_t>& items) {
  std::string array = "{";
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (i) array += ',';
    array += std::to_string(items[i]);
  }
  array += '}';
  return add(std::move(array));
}

Params& Params::addBooleans(const std::vector<bool>& items) {
  std::string array = "{";
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (i) array += ',';
    array += items[i] ? 't' : 'f';
  }
  array += '}';
  return add(std::move(array));
}

std::vector<const char*> Params::pointers() const {
  // Values go as C strings: one with a NUL in it would be cut short there and stored as another
  // value (a user "alice\0x" as "alice"), so it is refused instead.
  for (const std::string& value : values_) {
    if (value.find('\0') != std::string::npos)
      throw StoreError("a value holds a NUL character, which the database cannot keep");
  }
  std::vector<const char*> pointers;
  pointers.reserve(values_.size());
  for (std::size_t i = 0; i < values_.size(); ++i)
    pointers.push_back(nulls_[i] ? nullptr : values_[i].c_str());
  return pointers;
}

Result::~Result() {
  PQclear(result_);
}

Result& Result::operator=(Result&& other) noexcept {
  if (this != &other) {
    PQclear(result_);
    result_ = other.result_;
    other.result_ = nullptr;
  }
  return *this;
}

int Result::rows() const {
  return result_ ? PQntuples(result_) : 0;
}

bool Result::null(int row, int column) const {
  return PQgetisnull(result_, row, column) != 0;
}

std::string Result::text(int row, int column) const {
  return std::string(PQgetvalue(result_, row, column),
                     static_cast<std::size_t>(PQgetlength(result_, row, column)));
}

std::int64_t Result::integer(int row, int column) const {
  if (null(row, column)) return 0;
  return std::strtoll(PQgetvalue(result_, row, column), nullptr, 10);
}

bool Result::boolean(int row, int column) const {
  return !null(row, column) && PQgetvalue(result_, row, column)[0] == 't';
}

std::unique_ptr<Connection> Connection::open(const std::string& url, const std::string& where,
                                             int timeoutSeconds) {
  // The URL comes last, so that a setting it names wins. A server that stops answering
  // (a network gone, not a refusal) is given up on after ten seconds of unanswered writes and
  // keepalives, rather than holding a request for the kernel's many minutes.
  const std::string timeout = std::to_string(timeoutSeconds);
  // The statements are prepared once per connection and run with other values each time: a plan
  // made for the values of each run would cost more than the run.
  const char* keywords[] = {"connect_timeout",
                            "application_name",
                            "tcp_user_timeout",
                            "keepalives_idle",
                            "keepalives_interval",
                            "keepalives_count",
                            "options",
                            "dbname",
                            nullptr};
  const char* values[] = {timeout.c_str(),
                          "zelk-server",
                          "10000",
                          "5",
                          "2",
                          "3",
                          "-c plan_cache_mode=force_generic_plan",
                          url.c_str(),
                          nullptr};
  PGconn* conn = PQconnectdbParams(keywords, values, 1);
  if (!conn) throw StoreError("postgres " + where + ": out of memory");
  if (PQstatus(conn) != CONNECTION_OK) {
    const std::string reason = oneLine(PQerrorMessage(conn));
    PQfinish(conn);
    throw StoreError("postgres " + where + ": cannot connect: " + reason, /*unreachable=*/true);
  }
  PQsetNoticeProcessor(conn, ignoreNotice, nullptr);
  return std::unique_ptr<Connection>(new Connection(conn, where));
}

Connection::~Connection() {
  PQfinish(conn_);
}

void Connection::fail(const char* what, PGresult* result) {
  std::string reason = oneLine(result ? PQresultErrorMessage(result) : PQerrorMessage(conn_));
  if (reason == "unknown error") reason = oneLine(PQerrorMessage(conn_));
  const char* state = result ? PQresultErrorField(result, PG_DIAG_SQLSTATE) : nullptr;
  const std::string code = state ? state : "";
  PQclear(result);
  const std::string message = "postgres " + where_ + ": " + what + ": " + reason;
  if (broken()) throw StoreError(message, /*unreachable=*/true);
  throw QueryError(message, code);
}

void Connection::prepare(const Prepared& statement) {
  if (!statement.name || prepared_.contains(statement.name)) return;
  PGresult* result = PQprepare(conn_, statement.name, statement.sql, 0, nullptr);
  if (!result || PQresultStatus(result) != PGRES_COMMAND_OK)
    fail("cannot prepare a statement", result);
  PQclear(result);
  prepared_.insert(statement.name);
}

Result Connection::run(const Prepared& statement) {
  prepare(statement);
  const std::vector<const char*> values = statement.params.pointers();
  PGresult* result = PQexecPrepared(conn_, statement.name, statement.params.size(),
                                    values.empty() ? nullptr : values.data(), nullptr, nullptr, 0);
  const auto status = result ? PQresultStatus(result) : PGRES_FATAL_ERROR;
  if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK)
    fail("cannot run a statement", result);
  return Result(result);
}

std::vector<Result> Connection::pipeline(const std::vector<Prepared>& statements) {
  for (const Prepared& statement : statements) prepare(statement);
  std::vector<std::vector<const char*>> values;
  values.reserve(statements.size());
  for (const Prepared& statement : statements) values.push_back(statement.params.pointers());
  if (PQenterPipelineMode(conn_) != 1) fail("cannot start a pipeline", nullptr);
  struct Leave {
    pg_conn* conn;
    ~Leave() { PQexitPipelineMode(conn); }
  } leave{conn_};
  for (std::size_t i = 0; i < statements.size(); ++i) {
    const Prepared& statement = statements[i];
    const char* const* given = values[i].empty() ? nullptr : values[i].data();
    const int sent = statement.name
                         ? PQsendQueryPrepared(conn_, statement.name, statement.params.size(),
                                               given, nullptr, nullptr, 0)
                         : PQsendQueryParams(conn_, statement.sql, statement.params.size(), nullptr,
                                             given, nullptr, nullptr, 0);
    if (sent != 1) fail("cannot send a statement", nullptr);
  }
  if (PQpipelineSync(conn_) != 1) fail("cannot send a statement", nullptr);
  std::vector<Result> results;
  PGresult* failed = nullptr;
  // One result per statement, each followed by a null; then the sync's.
  for (std::size_t i = 0; i < statements.size(); ++i) {
    PGresult* result = PQgetResult(conn_);
    if (!result) fail("lost the connection", nullptr);
    const auto status = PQresultStatus(result);
    if (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK) {
      results.emplace_back(result);
    } else if (!failed && status != PGRES_PIPELINE_ABORTED) {
      failed = result;
    } else {
      PQclear(result);
    }
    while (PGresult* extra = PQgetResult(conn_)) PQclear(extra);
  }
  PGresult* sync = PQgetResult(conn_);
  if (!sync || PQresultStatus(sync) != PGRES_PIPELINE_SYNC) {
    PQclear(sync);
    if (failed) fail("cannot run a statement", failed);
    fail("lost the connection", nullptr);
  }
  PQclear(sync);
  if (failed) fail("cannot run a statement", failed);
  return results;
}

void Connection::execute(const char* sql) {
  PGresult* result = PQexec(conn_, sql);
  const auto status = result ? PQresultStatus(result) : PGRES_FATAL_ERROR;
  if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK)
    fail("cannot run a statement", result);
  PQclear(result);
}

Result Connection::query(const char* sql, const Params& params) {
  const std::vector<const char*> values = params.pointers();
  PGresult* result = PQexecParams(conn_, sql, params.size(), nullptr,
                                  values.empty() ? nullptr : values.data(), nullptr, nullptr, 0);
  const auto status = result ? PQresultStatus(result) : PGRES_FATAL_ERROR;
  if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK)
    fail("cannot run a statement", result);
  return Result(result);
}

bool Connection::broken() const {
  return PQstatus(conn_) != CONNECTION_OK;
}

bool Connection::idle() const {
  return PQtransactionStatus(conn_) == PQTRANS_IDLE;
}

int Connection::socket() const {
  return PQsocket(conn_);
}

}  // namespace zelk::server::pg

namespace zelk::server {

std::string withDatabase(const std::string& url, const std::string& database) {
  const auto scheme = url.find("://");
  const auto hostStart = scheme == std::string::npos ? 0 : scheme + 3;
  const auto query = url.find('?', hostStart);
  const auto slash = url.find('/', hostStart);
  const auto pathStart = slash != std::string::npos && slash < query ? slash : query;
  std::string rewritten = url.substr(0, std::min(pathStart, url.size())) + "/" + database;
  if (query != std::string::npos) rewritten += url.substr(query);
  return rewritten;
}

ScratchDatabase::ScratchDatabase(const std::string& adminUrl) : adminUrl_(adminUrl) {
  std::random_device random;
  char name[32];
  std::snprintf(name, sizeof name, "zelk_test_%08x%08x", random(), random());
  name_ = name;
  url_ = withDatabase(adminUrl_, name_);
  auto admin = pg::Connection::open(adminUrl_, pg::whereOf(adminUrl_));
  // A name is an identifier, which cannot be bound; this one is made of [a-z0-9_] alone.
  admin->execute(("CREATE DATABASE " + name_).c_str());
}

ScratchDatabase::~ScratchDatabase() {
  try {
    auto admin = pg::Connection::open(adminUrl_, pg::whereOf(adminUrl_));
    admin->execute(("DROP DATABASE IF EXISTS " + name_ + " WITH (FORCE)").c_str());
  } catch (const StoreError&) {
    // The server is gone (a test stopped it): its cluster goes with the test run.
  }
}

}  // namespace zelk::server
