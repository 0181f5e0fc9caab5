// SPDX-License-Identifier: Apache-2.0
#include "app/settings.hpp"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <stdexcept>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "service/ids.hpp"

namespace zelk::server {
namespace {

// The long flags that take a value, by name without the dashes; "sandbox" takes none.
const std::set<std::string> kValueFlags = {"listen",
                                           "data",
                                           "database",
                                           "database-connections",
                                           "cache-users",
                                           "config",
                                           "tls-cert",
                                           "tls-key",
                                           "heartbeat",
                                           "admin-token-file",
                                           "log-format",
                                           "threads",
                                           "header-timeout",
                                           "host",
                                           "port",
                                           "code-key-file",
                                           "code-lifetime",
                                           "code-max-checks",
                                           "code-resend-interval",
                                           "code-sends-per-hour",
                                           "code-user-sends-per-hour",
                                           "code-destination-sends-per-hour",
                                           "max-devices-per-user",
                                           "max-connections-per-address",
                                           "rate-limit-client",
                                           "rate-limit-address",
                                           "trusted-proxies",
                                           "geoip-db",
                                           "smtp-url",
                                           "smtp-user",
                                           "smtp-password-file",
                                           "smtp-from",
                                           "smtp-tls",
                                           "email-subject",
                                           "email-text-template",
                                           "email-html-template",
                                           "sms-url",
                                           "sms-headers",
                                           "sms-body",
                                           "delivery-ca-file",
                                           "delivery-timeout",
                                           "outbox-retry-base",
                                           "outbox-retry-max",
                                           "outbox-max-attempts",
                                           "audit-keep",
                                           "audit-days"};

std::string trim(std::string text) {
  const auto first = text.find_first_not_of(" \t\r");
  if (first == std::string::npos) return {};
  const auto last = text.find_last_not_of(" \t\r");
  return text.substr(first, last - first + 1);
}

std::string environmentName(const std::string& flag) {
  std::string name = "ZELK_SERVER_";
  for (char c : flag)
    name += c == '-' ? '_' : static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return name;
}

long long integerOf(const std::string& key, const std::string& value, long long min,
                    long long max) {
  long long number = 0;
  const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), number);
  if (error != std::errc{} || end != value.data() + value.size() || number < min || number > max)
    throw std::invalid_argument(key + " must be a whole number from " + std::to_string(min) +
                                " to " + std::to_string(max) + ", not '" + value + "'");
  return number;
}

bool flagOf(const std::string& key, const std::string& value) {
  if (value == "true" || value == "1" || value == "yes" || value.empty()) return true;
  if (value == "false" || value == "0" || value == "no") return false;
  throw std::invalid_argument(key + " must be true or false, not '" + value + "'");
}

// "HOST:PORT", "[IPv6]:PORT" or ":PORT".
void applyListen(const std::string& value, http::ServerConfig& http) {
  const auto colon = value.rfind(':');
  if (colon == std::string::npos)
    throw std::invalid_argument("listen must be HOST:PORT, not '" + value + "'");
  std::string host = value.substr(0, colon);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
    host = host.substr(1, host.size() - 2);
  http.host = host.empty() ? "127.0.0.1" : host;
  http.port = static_cast<int>(integerOf("listen port", value.substr(colon + 1), 0, 65535));
}

std::map<std::string, std::string> readConfigFile(const std::string& path) {
  std::ifstream in(path);
  if (!in) throw std::invalid_argument("cannot read the configuration file " + path);
  std::map<std::string, std::string> values;
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    line = trim(line);
    if (line.empty() || line.front() == '#') continue;
    const auto eq = line.find('=');
    if (eq == std::string::npos)
      throw std::invalid_argument(path + ":" + std::to_string(number) + ": expected key = value");
    const std::string key = trim(line.substr(0, eq));
    if (!kValueFlags.contains(key) && key != "sandbox")
      throw std::invalid_argument(path + ":" + std::to_string(number) + ": unknown key '" + key +
                                  "'");
    values[key] = trim(line.substr(eq + 1));
  }
  return values;
}

std::string readWhole(const std::string& key, const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::invalid_argument(key + ": cannot read " + path);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (text.size() > 256 * 1024) throw std::invalid_argument(key + ": " + path + " is too large");
  return text;
}

// How codes and events leave the service.
void applyDelivery(std::map<std::string, std::string>& merged, DeliveryConfig& delivery) {
  const auto value = [&](const char* key) -> const std::string* {
    const auto it = merged.find(key);
    return it == merged.end() ? nullptr : &it->second;
  };
  MailSettings& mail = delivery.mail;
  if (const auto* v = value("smtp-url")) {
    if (!v->starts_with("smtp://") && !v->starts_with("smtps://"))
      throw std::invalid_argument("smtp-url must start with smtp:// or smtps://, not '" + *v + "'");
    mail.url = *v;
  }
  if (const auto* v = value("smtp-user")) mail.user = *v;
  if (const auto* v = value("smtp-password-file"))
    mail.password = trim(readWhole("smtp-password-file", *v));
  if (const auto* v = value("smtp-from")) {
    if (v->find('@') == std::string::npos || v->find_first_of("<> \r\n") != std::string::npos)
      throw std::invalid_argument("smtp-from must be a bare e-mail address, not '" + *v + "'");
    mail.from = *v;
  }
  if (const auto* v = value("smtp-tls")) {
    if (*v != "try" && *v != "require" && *v != "none")
      throw std::invalid_argument("smtp-tls must be try, require or none, not '" + *v + "'");
    mail.tls = *v;
  }
  if (!mail.url.empty() && mail.from.empty())
    throw std::invalid_argument("smtp-url needs smtp-from, the sender's address");
  if (const auto* v = value("email-subject")) mail.subject = *v;
  if (const auto* v = value("email-text-template"))
    mail.text = readWhole("email-text-template", *v);
  if (const auto* v = value("email-html-template"))
    mail.html = readWhole("email-html-template", *v);
  TextSettings& text = delivery.text;
  if (const auto* v = value("sms-url")) {
    if (!v->starts_with("https://") && !v->starts_with("http://"))
      throw std::invalid_argument("sms-url must be an https:// URL, not '" + *v + "'");
    text.url = *v;
  }
  if (const auto* v = value("sms-headers")) {
    const nlohmann::json headers = nlohmann::json::parse(*v, nullptr, false);
    if (!headers.is_object())
      throw std::invalid_argument("sms-headers must be a JSON object of header names and values");
    for (const auto& [name, header] : headers.items()) {
      if (!header.is_string() || name.find_first_of(":\r\n") != std::string::npos ||
          header.get<std::string>().find_first_of("\r\n") != std::string::npos)
        throw std::invalid_argument("sms-headers: '" + name +
                                    "' is not a header a request can carry");
      text.headers[name] = header.get<std::string>();
    }
  }
  if (const auto* v = value("sms-body")) text.body = *v;
  if (const auto* v = value("delivery-ca-file")) delivery.caFile = *v;
  if (const auto* v = value("delivery-timeout"))
    delivery.timeout = std::chrono::seconds(integerOf("delivery-timeout", *v, 1, 300));
  if (const auto* v = value("outbox-retry-base"))
    delivery.retryBase = std::chrono::seconds(integerOf("outbox-retry-base", *v, 1, 3600));
  if (const auto* v = value("outbox-retry-max"))
    delivery.retryMax = std::chrono::seconds(integerOf("outbox-retry-max", *v, 1, 86400));
  if (const auto* v = value("outbox-max-attempts"))
    delivery.maxAttempts = static_cast<int>(integerOf("outbox-max-attempts", *v, 1, 100));
}

}  // namespace

ProgramSettings readSettings(const std::vector<std::string>& args,
                             const std::map<std::string, std::string>& environment,
                             bool sandboxAlias) {
  ProgramSettings settings;
  std::map<std::string, std::string> flags;
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string arg = args[i];
    if (arg == "--help" || arg == "-h") {
      settings.help = true;
      continue;
    }
    if (arg == "--version") {
      settings.version = true;
      continue;
    }
    if (!arg.starts_with("--")) throw std::invalid_argument("unexpected argument '" + arg + "'");
    std::optional<std::string> value;
    if (const auto eq = arg.find('='); eq != std::string::npos) {
      value = arg.substr(eq + 1);
      arg.resize(eq);
    }
    const std::string name = arg.substr(2);
    if (name == "sandbox") {
      flags[name] = value.value_or("true");
      continue;
    }
    if (!kValueFlags.contains(name)) throw std::invalid_argument("unknown option '" + arg + "'");
    if (!value) {
      if (i + 1 >= args.size()) throw std::invalid_argument(arg + " needs a value");
      value = args[++i];
    }
    flags[name] = *value;
  }

  // Flags, then the environment, then the configuration file.
  std::map<std::string, std::string> fromEnvironment;
  for (const std::string& name : kValueFlags) {
    if (auto it = environment.find(environmentName(name)); it != environment.end())
      fromEnvironment[name] = it->second;
  }
  if (auto it = environment.find(environmentName("sandbox")); it != environment.end())
    fromEnvironment["sandbox"] = it->second;
  std::map<std::string, std::string> fromFile;
  std::string configFile = flags.contains("config") ? flags["config"] : fromEnvironment["config"];
  if (!configFile.empty()) fromFile = readConfigFile(configFile);
  std::map<std::string, std::string> merged = fromFile;
  for (const auto& [key, value] : fromEnvironment) merged[key] = value;
  for (const auto& [key, value] : flags) merged[key] = value;

  AppConfig& app = settings.app;
  app.sandbox =
      sandboxAlias || (merged.contains("sandbox") && flagOf("sandbox", merged["sandbox"]));
  app.http.port = 8080;
  if (auto it = merged.find("host"); it != merged.end()) app.http.host = it->second;
  if (auto it = merged.find("port"); it != merged.end())
    app.http.port = static_cast<int>(integerOf("port", it->second, 0, 65535));
  if (auto it = merged.find("listen"); it != merged.end()) applyListen(it->second, app.http);
  if (auto it = merged.find("data"); it != merged.end()) app.dataFile = it->second;
  if (auto it = merged.find("database"); it != merged.end()) app.database = it->second;
  if (!app.database.empty() && !app.dataFile.empty())
    throw std::invalid_argument(
        "give either data (a SQLite file) or database (PostgreSQL), not both");
  if (!app.database.empty() && app.database.rfind("postgres://", 0) != 0 &&
      app.database.rfind("postgresql://", 0) != 0)
    throw std::invalid_argument("database must be a postgres:// URL");
  if (auto it = merged.find("database-connections"); it != merged.end())
    app.databaseConnections =
        static_cast<int>(integerOf("database-connections", it->second, 1, 1000));
  if (auto it = merged.find("cache-users"); it != merged.end())
    app.cacheUsers = static_cast<std::size_t>(integerOf("cache-users", it->second, 0, 100'000'000));
  if (auto it = merged.find("tls-cert"); it != merged.end()) app.http.tlsCertFile = it->second;
  if (auto it = merged.find("tls-key"); it != merged.end()) app.http.tlsKeyFile = it->second;
  if (app.http.tlsCertFile.empty() != app.http.tlsKeyFile.empty())
    throw std::invalid_argument("tls-cert and tls-key must be given together");
  if (auto it = merged.find("heartbeat"); it != merged.end())
    app.heartbeat = std::chrono::seconds(integerOf("heartbeat", it->second, 1, 3600));
  if (auto it = merged.find("threads"); it != merged.end())
    app.http.threads = static_cast<int>(integerOf("threads", it->second, 1, 64));
  if (auto it = merged.find("header-timeout"); it != merged.end())
    app.http.headerTimeout = std::chrono::seconds(integerOf("header-timeout", it->second, 1, 600));
  app.logFormat = LogFormat::text;
  if (auto it = merged.find("log-format"); it != merged.end()) {
    if (it->second == "json") {
      app.logFormat = LogFormat::json;
    } else if (it->second == "none") {
      app.logFormat = LogFormat::none;
    } else if (it->second != "text") {
      throw std::invalid_argument("log-format must be text, json or none, not '" + it->second +
                                  "'");
    }
  }
  if (auto it = merged.find("code-key-file"); it != merged.end()) {
    settings.codeKeyFile = it->second;
  } else if (!app.dataFile.empty()) {
    settings.codeKeyFile = app.dataFile + ".code-key";
  } else if (!app.database.empty()) {
    // Every instance on the database must check codes under the same key, and a key made up by
    // one of them for itself would void the codes the others sent.
    throw std::invalid_argument(
        "with database, give code-key-file: the file every instance reads the code key from (made "
        "on first start when missing, then copied to every instance)");
  }
  if (auto it = merged.find("code-lifetime"); it != merged.end())
    app.codes.lifetime = std::chrono::seconds(integerOf("code-lifetime", it->second, 10, 86400));
  if (auto it = merged.find("code-max-checks"); it != merged.end())
    app.codes.maxChecks = static_cast<int>(integerOf("code-max-checks", it->second, 1, 100));
  if (auto it = merged.find("code-resend-interval"); it != merged.end())
    app.codes.resendInterval =
        std::chrono::seconds(integerOf("code-resend-interval", it->second, 0, 3600));
  if (auto it = merged.find("code-sends-per-hour"); it != merged.end())
    app.codes.maxSendsPerHour =
        static_cast<int>(integerOf("code-sends-per-hour", it->second, 1, 1000));
  if (auto it = merged.find("code-user-sends-per-hour"); it != merged.end())
    app.codes.maxUserSendsPerHour =
        static_cast<int>(integerOf("code-user-sends-per-hour", it->second, 1, 1000));
  if (auto it = merged.find("code-destination-sends-per-hour"); it != merged.end())
    app.codes.maxDestinationSendsPerHour =
        static_cast<int>(integerOf("code-destination-sends-per-hour", it->second, 1, 1000));
  if (auto it = merged.find("max-devices-per-user"); it != merged.end())
    app.maxDevicesPerUser =
        static_cast<std::size_t>(integerOf("max-devices-per-user", it->second, 1, 100'000));
  app.http.maxConnectionsPerAddress = http::quarterOfOpenFiles();
  if (auto it = merged.find("max-connections-per-address"); it != merged.end())
    app.http.maxConnectionsPerAddress = static_cast<std::size_t>(
        integerOf("max-connections-per-address", it->second, 0, 100'000'000));
  // Generous limits by default; none in sandbox mode, whose tests run many clients from one
  // address, unless asked for.
  if (!app.sandbox) {
    app.rateLimits.perClient.perMinute = 60'000;
    app.rateLimits.perAddress.perMinute = 300;
  }
  if (auto it = merged.find("rate-limit-client"); it != merged.end())
    app.rateLimits.perClient.perMinute =
        static_cast<double>(integerOf("rate-limit-client", it->second, 0, 100'000'000));
  if (auto it = merged.find("rate-limit-address"); it != merged.end())
    app.rateLimits.perAddress.perMinute =
        static_cast<double>(integerOf("rate-limit-address", it->second, 0, 100'000'000));
  if (auto it = merged.find("trusted-proxies"); it != merged.end()) {
    std::string_view rest = it->second;
    while (!rest.empty()) {
      const auto comma = rest.find(',');
      const std::string entry = trim(std::string(rest.substr(0, comma)));
      rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
      if (entry.empty()) continue;
      if (!parseAddressRange(entry))
        throw std::invalid_argument("trusted-proxies: '" + entry +
                                    "' is neither an IP address nor a network in CIDR notation");
      app.rateLimits.trustedProxies.push_back(entry);
    }
  }
  if (auto it = merged.find("geoip-db"); it != merged.end()) app.geoipDatabase = it->second;
  applyDelivery(merged, app.delivery);
  if (auto it = merged.find("audit-keep"); it != merged.end())
    app.audit.keep =
        static_cast<std::size_t>(integerOf("audit-keep", it->second, 100, 100'000'000));
  if (auto it = merged.find("audit-days"); it != merged.end())
    app.audit.maxAge = std::chrono::hours(24 * integerOf("audit-days", it->second, 1, 3650));
  if (auto it = merged.find("admin-token-file"); it != merged.end()) {
    settings.adminTokenFile = it->second;
  } else if (!app.dataFile.empty()) {
    settings.adminTokenFile = app.dataFile + ".admin-token";
  } else {
    settings.adminTokenFile = (std::filesystem::temp_directory_path() /
                               ("zelk-server-" + std::to_string(getuid()) + ".admin-token"))
                                  .string();
  }
  return settings;
}

std::string loadOrCreateAdminToken(const std::string& path) {
  return loadOrCreateSecret(path, "the admin token");
}

std::string loadOrCreateSecret(const std::string& path, const std::string& what) {
  // Written aside, then linked into place: a server starting at the same moment sees either no
  // file or a whole one.
  std::string aside = path + ".XXXXXX";
  const int fd = ::mkstemp(aside.data());
  if (fd < 0)
    throw std::runtime_error("cannot create " + what + " file " + path + ": " +
                             std::strerror(errno));
  const std::string token = newSecret();
  const std::string line = token + "\n";
  const bool written = ::fchmod(fd, 0600) == 0 &&
                       ::write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
  ::close(fd);
  const bool linked = written && ::link(aside.c_str(), path.c_str()) == 0;
  const int linkError = errno;
  ::unlink(aside.c_str());
  if (!written) throw std::runtime_error("cannot write " + what + " file " + path);
  if (linked) return token;
  if (linkError != EEXIST)
    throw std::runtime_error("cannot create " + what + " file " + path + ": " +
                             std::strerror(linkError));

  struct stat info {};
  if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode))
    throw std::runtime_error(what + " file " + path + " is not a regular file");
  if ((info.st_mode & 077) != 0 || info.st_uid != ::geteuid())
    throw std::runtime_error(what + " file " + path +
                             " may be read by others: it must be yours and of mode 0600");
  std::ifstream in(path);
  std::string existing;
  std::getline(in, existing);
  existing = trim(existing);
  if (existing.size() < 32) throw std::runtime_error(what + " file " + path + " holds no secret");
  return existing;
}

namespace {

// One option of the help text: the flag, what it takes ("" : nothing), and what it does.
struct OptionHelp {
  const char* name;
  const char* value;
  const char* text;
};

const OptionHelp kServiceOptions[] = {
    {"sandbox", "",
     "any client id is a project, and the /_sandbox/ test hooks answer; never in production"},
    {"listen", "HOST:PORT", "address to listen on (default 127.0.0.1:8080; port 0: any free port)"},
    {"host", "HOST", "the address alone, as --listen's HOST (default 127.0.0.1)"},
    {"port", "PORT", "the port alone, as --listen's PORT (default 8080)"},
    {"data", "FILE.db", "keep the records in this SQLite database (default: in memory)"},
    {"database", "URL",
     "keep them in PostgreSQL (postgres://USER@HOST:PORT/DB), shared by every instance given the "
     "same URL; needs --code-key-file"},
    {"database-connections", "N", "connections to the database at most (default 8)"},
    {"cache-users", "N",
     "users whose records are held between calls (default 20000; 0: no bound); the database "
     "stays the source of truth"},
    {"config", "FILE", "'key = value' lines, keys as the long options, '#' comments"},
    {"tls-cert", "PEM", "certificate (chain); with --tls-key, serve HTTPS (TLS 1.2 or later)"},
    {"tls-key", "PEM", "the certificate's private key"},
    {"heartbeat", "SECONDS", "a comment written to idle realtime streams this often (default 25)"},
    {"admin-token-file", "PATH",
     "the admin API's bearer token, made on first start with mode 0600 (default: FILE.db.admin-"
     "token beside the database, or zelk-server-UID.admin-token in the temporary folder)"},
    {"log-format", "FORMAT",
     "one line per request on standard error: text (the default), json or none"},
    {"threads", "N", "threads of the event loop (default 1)"},
    {"header-timeout", "SECONDS",
     "time a client has to send a request's headers once started (default 10)"},
    {"code-key-file", "PATH",
     "the key one-time codes are kept under (as an HMAC), made on first start with mode 0600 "
     "(default: FILE.db.code-key; in memory: a new one each start)"},
    {"code-lifetime", "SECONDS", "how long a code stays good (default 600)"},
    {"code-max-checks", "N", "checks a code takes before it is void (default 5)"},
    {"code-resend-interval", "SECONDS", "least time between two codes of a challenge (default 30)"},
    {"code-sends-per-hour", "N", "codes a challenge gets within an hour (default 5)"},
    {"code-user-sends-per-hour", "N",
     "codes all of a user's challenges get within an hour (default 10)"},
    {"code-destination-sends-per-hour", "N",
     "codes one e-mail address or phone number gets from this instance within an hour, "
     "whichever users they are for (default 10)"},
    {"max-devices-per-user", "N",
     "devices one user may have attached at once, whatever the project's limits; an attach of "
     "one more is refused with 409 (default 100)"},
    {"max-connections-per-address", "N",
     "connections one address may hold at once; past them a new one is answered 503 (default: "
     "a quarter of the open-file limit; 0: no cap; trusted proxies: none)"},
    {"rate-limit-client", "N",
     "attach, identify and challenge calls a minute per client id (default 60000; 0: none; "
     "sandbox: none)"},
    {"rate-limit-address", "N",
     "the same per source address (default 300; 0: none; sandbox: none)"},
    {"trusted-proxies", "LIST",
     "addresses or CIDR networks, comma-separated, whose X-Forwarded-For names the source "
     "address (default: none)"},
    {"geoip-db", "FILE.mmdb",
     "a GeoIP City or Country database (MaxMind DB format) that places each attach by its "
     "source address: the city and country challenges show (default: none, nothing is shown)"},
    {"audit-keep", "N", "audit entries kept, the newest (default 100000)"},
    {"audit-days", "DAYS", "... and none older than this (default 90)"},
};

const OptionHelp kDeliveryOptions[] = {
    {"smtp-url", "URL",
     "relay for e-mailed codes: smtp://HOST:PORT or smtps://HOST:PORT (default: none, and no "
     "code goes by e-mail)"},
    {"smtp-user", "NAME", "login at the relay, with the password in --smtp-password-file"},
    {"smtp-password-file", "PATH", "the file holding the relay's password"},
    {"smtp-from", "ADDRESS", "the sender's address; needed with --smtp-url"},
    {"smtp-tls", "MODE", "STARTTLS: try (the default: when offered), require or none"},
    {"email-subject", "TEXT",
     "the e-mail's subject; {{project}}, {{code}}, {{color}} and {{minutes}} are filled in"},
    {"email-text-template", "FILE", "the e-mail's plain-text body, filled in the same way"},
    {"email-html-template", "FILE", "the e-mail's HTML body, filled in the same way"},
    {"sms-url", "URL",
     "a text message provider's API, posted a JSON body per code (default: none, and no code "
     "goes by text message)"},
    {"sms-headers", "JSON", "headers of those requests, e.g. {\"Authorization\": \"Bearer x\"}"},
    {"sms-body", "TEMPLATE", "the JSON body; {{to}}, {{code}}, {{project}}, {{minutes}}"},
    {"delivery-ca-file", "PEM", "certificates to trust for https receivers, besides the system's"},
    {"delivery-timeout", "SECONDS", "one attempt's time (default 10)"},
    {"outbox-retry-base", "SECONDS", "the first wait before a retry (default 1)"},
    {"outbox-retry-max", "SECONDS", "the longest wait between retries (default 300)"},
    {"outbox-max-attempts", "N", "attempts before a message is failed (default 8)"},
};

constexpr std::size_t kWidth = 79, kIndent = 29;

// `text` as lines of at most kWidth columns, the first going on from `column`, the others
// indented by `indent`.
void appendWrapped(std::string& out, std::size_t column, const std::string& text,
                   std::size_t indent = kIndent) {
  bool first = true;
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t end = text.find(' ', at);
    if (end == std::string::npos) end = text.size();
    const std::size_t word = end - at;
    if (!first && column + 1 + word > kWidth) {
      out += '\n';
      out.append(indent, ' ');
      column = indent;
    } else if (!first) {
      out += ' ';
      ++column;
    }
    out.append(text, at, word);
    column += word;
    first = false;
    at = end + 1;
  }
  out += '\n';
}

// A paragraph of `text`, wrapped.
void appendParagraph(std::string& out, const std::string& text) {
  appendWrapped(out, 0, text, 0);
}

// "  --name VALUE", then the text from column kIndent (on the next line when the flag is too
// long), then the option's environment variable.
void appendOption(std::string& out, const std::string& flag, const std::string& text,
                  const std::string& variable) {
  out += "  " + flag;
  std::size_t column = 2 + flag.size();
  if (column + 2 > kIndent) {
    out += '\n';
    column = 0;
  }
  out.append(kIndent - column, ' ');
  appendWrapped(out, kIndent, variable.empty() ? text : text + " [" + variable + "]");
}

void appendOptions(std::string& out, const OptionHelp* first, const OptionHelp* last) {
  for (const OptionHelp* option = first; option != last; ++option) {
    std::string flag = std::string("--") + option->name;
    if (*option->value) flag += std::string(" ") + option->value;
    appendOption(out, flag, option->text, environmentName(option->name));
  }
}

}  // namespace

const std::vector<AdminCommand>& adminCommands() {
  static const std::vector<AdminCommand> commands = {
      {"projects", "list the projects", {}, {}},
      {"project",
       "create or replace a project",
       {"client-id"},
       {"name",
        "overall-limit",
        "mobile-limit",
        "tablet-limit",
        "computer-limit",
        "logo",
        "primary-color",
        "require-verification",
        "block-over-usage",
        "limit-policy",
        "show-contacts",
        "liveness-grace",
        "webhook-url",
        "webhook-secret",
        "user-secret",
        "require-signed-users",
        "new-device-notices",
        "trusted-device-days",
        "device-changes-limit",
        "device-changes-days",
        "replace"}},
      {"user",
       "create or replace a user's contact details",
       {"client-id", "user"},
       {"email", "phone"}},
      {"show-user", "a user's contact details, devices and challenges", {"client-id", "user"}, {}},
      {"users",
       "search a project's users by id prefix, e-mail address or phone number",
       {"client-id"},
       {"q", "after", "limit"}},
      {"logout",
       "detach a device (or every device of a user) and log it out through its streams",
       {"client-id"},
       {"device", "user", "all", "all-but"}},
      {"override",
       "set a user's own device limits in place of the project's",
       {"client-id", "user"},
       {"overall-limit", "mobile-limit", "tablet-limit", "computer-limit", "days", "clear"}},
      {"export", "everything stored of a user, as JSON", {"client-id", "user"}, {}},
      {"suspects",
       "the users with the most device changes refused, challenges and new devices",
       {"client-id"},
       {"days", "limit"}},
      {"keys", "list a project's keys for the app's backend", {"client-id"}, {}},
      {"make-key",
       "make a key for the app's backend (shown once; a project has two at most)",
       {"client-id"},
       {}},
      {"revoke-key", "revoke a project's key: it stops working at once", {"client-id", "id"}, {}},
      {"erase",
       "sign out every device of a user and remove everything stored of them",
       {"client-id", "user"},
       {}},
      {"delete-project",
       "remove a project with its users, devices and records",
       {"client-id", "confirm"},
       {}},
      {"challenge", "raise a challenge on a user's devices by hand", {"client-id", "user"}, {}},
      {"resolve", "close a challenge", {"client-id", "challenge"}, {}},
      {"outbox", "codes and webhook events to send, sent or failed", {}, {"state", "limit"}},
      {"audit", "security events, newest first", {}, {"client-id", "before", "limit"}},
      {"operator add NAME",
       "add a console operator NAME, or give one a new role, and print a set-up link for their "
       "password (valid for a day; their sessions end)",
       {"role"},
       {}},
      {"operators", "list the console's operators", {}, {}},
      {"retry", "send a failed webhook event of the outbox again now", {"message"}, {}},
  };
  return commands;
}

namespace {

// What each admin option takes and does.
const std::map<std::string, std::pair<std::string, std::string>> kAdminOptions = {
    {"url", {"URL", "the server's base URL, e.g. http://127.0.0.1:8080"}},
    {"role", {"ROLE", "owner (everything), operator (acts on users) or viewer (reads)"}},
    {"token-file", {"PATH", "the file holding the admin token (the server's --admin-token-file)"}},
    {"client-id", {"ID", "the project's client id"}},
    {"name", {"NAME", "the project's name, shown on the challenge screens"}},
    {"overall-limit", {"N", "devices a user may have attached at once"}},
    {"mobile-limit", {"N", "... of them phones (0: no limit of their own)"}},
    {"tablet-limit", {"N", "... of them tablets (0: no limit of their own)"}},
    {"computer-limit", {"N", "... of them computers (0: no limit of their own)"}},
    {"logo", {"URL", "the logo the challenge screens show"}},
    {"primary-color", {"COLOR", "the brand colour of the screens and e-mails, e.g. #4F46E5"}},
    {"require-verification",
     {"true|false",
      "whether the user verifies with a code before choosing which devices to log out"}},
    {"block-over-usage",
     {"true|false", "whether the project blocks over-use, as attach answers tell the app"}},
    {"limit-policy",
     {"POLICY",
      "at the device limit: challenge (raise one), block (attach nothing) or evict_oldest (log "
      "out the least recently active devices of signed users; needs --user-secret)"}},
    {"show-contacts",
     {"true|false", "whether challenges show e-mail addresses and phone numbers whole"}},
    {"liveness-grace",
     {"SECONDS", "how long a device without a stream stays attached (0: for ever)"}},
    {"webhook-url", {"URL", "where the project's events are posted"}},
    {"webhook-secret", {"SECRET", "the key their signatures are made with; never shown back"}},
    {"user-secret",
     {"SECRET",
      "the key the app's backend signs user ids with (metadata user_signature); never shown "
      "back"}},
    {"require-signed-users",
     {"true|false", "whether an attach without a right user signature is refused (401)"}},
    {"new-device-notices",
     {"true|false",
      "whether owners are e-mailed of each new device, with a code that signs it out"}},
    {"trusted-device-days",
     {"DAYS",
      "how long a device confirmed with a challenge's code is trusted: never evicted (0: none)"}},
    {"device-changes-limit",
     {"N", "devices one device may sign out of its user's within the window (0: no cap)"}},
    {"device-changes-days", {"DAYS", "the window of --device-changes-limit (default 30)"}},
    {"user", {"USER", "the user's id, as the app sets it"}},
    {"email", {"ADDRESS", "the user's e-mail address, for codes"}},
    {"phone", {"NUMBER", "the user's phone number, for codes by text message"}},
    {"device", {"DEVICE", "the device's id (dev_...)"}},
    {"replace",
     {"true|false", "replace the whole project: the options not given take their defaults"}},
    {"q", {"TEXT", "the beginning of a user id, or a whole e-mail address or phone number"}},
    {"after", {"USER", "only users after this one (the answer's next_after)"}},
    {"all", {"true|false", "with --user: every device of the user"}},
    {"all-but", {"DEVICE", "with --user: every device of the user but this one"}},
    {"days",
     {"DAYS",
      "override: how long the user's own limits hold (none: until cleared); suspects: the "
      "window (7 by default)"}},
    {"clear", {"true|false", "drop the user's own limits: the project's hold again"}},
    {"confirm", {"CLIENT_ID", "the project's client id again, to confirm its deletion"}},
    {"message", {"ID", "an outbox message's id, as outbox shows it"}},
    {"id", {"KEY_ID", "the key's id (key_...), as make-key and keys show it"}},
    {"challenge", {"CHALLENGE", "the challenge's id (ch_...)"}},
    {"state", {"STATE", "only the messages pending, done or failed"}},
    {"limit", {"N", "at most this many entries"}},
    {"before", {"SEQ", "only entries older than this one (the answer's next_before)"}},
};

void appendAdminOption(std::string& out, const std::string& key) {
  const auto found = kAdminOptions.find(key);
  const std::string value = found == kAdminOptions.end() ? "VALUE" : found->second.first;
  appendOption(out, "--" + key + " " + value,
               found == kAdminOptions.end() ? "" : found->second.second, "");
}

}  // namespace

bool adminOptionDocumented(const std::string& key) {
  return kAdminOptions.contains(key);
}

std::string adminUsage(const std::string& program) {
  std::string out;
  appendParagraph(out, "'" + program +
                           " admin --url URL --token-file PATH COMMAND [OPTION]...' calls a "
                           "running server's admin API (under /admin/, the token as a bearer "
                           "token) and prints its answer; '" +
                           program + " admin COMMAND --help' lists a command's options.");
  out += "\nAdmin commands:\n";
  for (const AdminCommand& command : adminCommands()) {
    std::string line = command.name;
    for (const std::string& key : command.required)
      line += " --" + key + " " + kAdminOptions.at(key).first;
    if (!command.optional.empty()) line += " [OPTION]...";
    appendOption(out, line, command.summary, "");
  }
  return out;
}

std::string adminCommandUsage(const std::string& program, const AdminCommand& command) {
  std::string out = "Usage: " + program + " admin --url URL --token-file PATH " + command.name;
  for (const std::string& key : command.required)
    out += " --" + key + " " + kAdminOptions.at(key).first;
  if (!command.optional.empty()) out += " [OPTION]...";
  std::string summary = command.summary;
  summary[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(summary[0])));
  out += "\n\n" + summary + ".\n\nOptions:\n";
  for (const char* key : {"url", "token-file"}) appendAdminOption(out, key);
  for (const std::string& key : command.required) appendAdminOption(out, key);
  for (const std::string& key : command.optional) appendAdminOption(out, key);
  return out;
}

std::vector<std::string> settingNames() {
  std::vector<std::string> names(kValueFlags.begin(), kValueFlags.end());
  names.push_back("sandbox");
  return names;
}

std::string usage(bool sandboxAlias) {
  const std::string name = sandboxAlias ? "zelk-sandbox" : "zelk-server";
  std::string out = "Usage: " + name + " [OPTION]...\n" + "  or:  " + name +
                    " admin --url URL --token-file PATH COMMAND [OPTION]...\n\n";
  appendParagraph(out,
                  "Serves the account-protection service until SIGINT or SIGTERM, which drain it: "
                  "no new connections, open streams end so that their clients reconnect "
                  "elsewhere, answers being written finish; SIGHUP loads the TLS certificate and "
                  "key again. On start it prints three lines on "
                  "standard output: '" +
                      name +
                      " listening on <base URL>' first, then where the admin token is and where "
                      "the records are kept.");
  if (sandboxAlias) out += "\n" + name + " is zelk-server --sandbox.\n";
  out += "\n";
  appendParagraph(out,
                  "Each option may also come from the environment variable named in brackets "
                  "after it, or from the configuration file (--config) as a 'key = value' line "
                  "whose key is the option's name without the dashes. Options win over the "
                  "environment, which wins over the file.");
  out += "\nOptions:\n";
  appendOptions(out, std::begin(kServiceOptions), std::end(kServiceOptions));
  appendOption(out, "-h, --help", "print this help and exit", "");
  appendOption(out, "--version", "print the name and version and exit", "");
  out += "\n";
  appendParagraph(out,
                  "Codes (outside sandbox mode) and webhook events leave from an outbox in the "
                  "store, one at a time, retried with backoff (1, 2, 4 ... seconds) until they "
                  "are sent or have failed.");
  out += "\nDelivery options:\n";
  appendOptions(out, std::begin(kDeliveryOptions), std::end(kDeliveryOptions));
  out += "\n" + adminUsage(name) + "\nRoutes:\n";
  const std::pair<const char*, const char*> routes[] = {
      {"/v2/", "the service the library calls"},
      {"/admin/", "the admin API, with the admin token as a bearer token"},
      {"/healthz", "200 while the process serves, with its version"},
      {"/readyz", "200 while the store answers, 503 when it does not or while draining"},
      {"/metrics", "the metrics, in the Prometheus text format"},
  };
  for (const auto& [route, text] : routes) appendOption(out, route, text, "");
  out += "\nSandbox hooks (in sandbox mode only; JSON bodies):\n";
  const std::pair<const char*, const char*> hooks[] = {
      {"GET/DELETE /_sandbox/requests", "the recorded /v2/ requests; DELETE forgets them"},
      {"GET /_sandbox/state", "everything known, pending scripts, kept messages"},
      {"POST /_sandbox/project",
       "{\"client_id\", settings as for admin}: members left out keep their values"},
      {"POST /_sandbox/user", "{\"client_id\", \"user\", \"email\", \"phone\"}"},
      {"POST /_sandbox/challenge", "{\"client_id\", \"user\"}: raise one by hand"},
      {"GET /_sandbox/challenge/<id>", "its state, with the last code sent (\"code\")"},
      {"POST /_sandbox/code",
       "{\"challenge\"}: a new code now, whatever the resend limits say (\"code\")"},
      {"POST /_sandbox/logout", "{\"device\"}: send the logout order to its streams"},
      {"POST /_sandbox/script",
       "{\"operation\", \"status\", \"body\"}: answer the next request of an operation so; "
       "listen also takes \"device\", \"stall\": true, or \"drip\", \"chunk\", \"interval\""},
      {"POST /_sandbox/geolocation",
       "{\"device\", \"city\", \"country\"}: where it shows as last seen (members left out: not "
       "known) until an attach placed by --geoip-db"},
      {"POST /_sandbox/push",
       "{\"device\", \"event\", \"id\", \"data\", \"retry\", \"comment\"} or {\"device\", "
       "\"raw\"}"},
      {"POST /_sandbox/end-stream",
       "{\"device\", \"abort\"}: end its streams (all without device)"},
      {"GET /_sandbox/streams", "open streams; ?device=&count=&timeout= waits for them"},
      {"POST /_sandbox/repeat-open-challenges",
       "{\"repeat\": false}: fresh streams no longer hear open challenges again"},
      {"GET /_sandbox/logo.png", "a logo for demo projects"},
  };
  for (const auto& [route, text] : hooks) appendOption(out, route, text, "");
  return out;
}

}  // namespace zelk::server
