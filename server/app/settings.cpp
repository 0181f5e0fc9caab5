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

std::string usage(bool sandboxAlias) {
  const std::string name = sandboxAlias ? "zelk-sandbox" : "zelk-server";
  return "usage: " + name +
         " [--sandbox] [--listen HOST:PORT] [--data FILE.db | --database URL] [--config FILE]\n"
         "       [--tls-cert PEM --tls-key PEM] [--heartbeat SECONDS] [--admin-token-file PATH]\n"
         "       [--log-format text|json|none] [--threads N] [--header-timeout SECONDS]\n"
         "   or: " +
         name +
         " admin --url URL --token-file PATH <command> [options]\n"
         "\n"
         "Serves the account-protection service until SIGINT or SIGTERM, which drain it: no new\n"
         "connections, open streams end so that their clients reconnect elsewhere, answers being\n"
         "written finish. The first line of standard output is '" +
         name +
         " listening on <base URL>'.\n"
         "\n"
         "  --sandbox            any client id is a project, and the /_sandbox/ test hooks answer\n"
         "  --listen HOST:PORT   address to listen on (default 127.0.0.1:8080; port 0: any free)\n"
         "  --data FILE.db       keep the records in this SQLite database (default: in memory)\n"
         "  --database URL       keep them in PostgreSQL (postgres://USER@HOST:PORT/DB), shared\n"
         "                       by every instance given the same URL; needs --code-key-file\n"
         "  --database-connections N  connections to it at most (default 8)\n"
         "  --cache-users N      users whose records are held between calls (default 20000;\n"
         "                       0: no bound); the database stays the source of truth\n"
         "  --config FILE        'key = value' lines, keys as the long flags, '#' comments\n"
         "  --tls-cert PEM       certificate (chain); with --tls-key, serve HTTPS (TLS 1.2+)\n"
         "  --tls-key PEM        private key\n"
         "  --heartbeat SECONDS  comment written to idle streams this often (default 25)\n"
         "  --admin-token-file PATH  the admin API's bearer token, made on first start with mode\n"
         "                       0600 (default: FILE.db.admin-token, or one in the temporary "
         "folder)\n"
         "  --log-format F       one line per request on standard error: text, json or none\n"
         "  --threads N          threads of the event loop (default 1)\n"
         "  --header-timeout S   time a client has to send a request once started (default 10)\n"
         "  --code-key-file PATH the key one-time codes are kept under (as an HMAC), made on\n"
         "                       first start with mode 0600 (default: FILE.db.code-key; in\n"
         "                       memory: a new one each start)\n"
         "  --code-lifetime S    how long a code stays good (default 600)\n"
         "  --code-max-checks N  checks a code takes before it is void (default 5)\n"
         "  --code-resend-interval S  least time between two codes of a challenge (default 30)\n"
         "  --code-sends-per-hour N   codes a challenge gets within an hour (default 5)\n"
         "  --rate-limit-client N     attach, identify and challenge calls a minute per client\n"
         "                       id (default 60000; 0: none; sandbox: none)\n"
         "  --rate-limit-address N    the same per source address (default 300; sandbox: none)\n"
         "  --trusted-proxies LIST    addresses or CIDR networks, comma-separated, whose\n"
         "                       X-Forwarded-For names the source address (default: none)\n"
         "  --geoip-db FILE.mmdb a GeoIP City or Country database (MaxMind DB format) that\n"
         "                       places each attach by its source address: the city and\n"
         "                       country challenges show (default: none, nothing is shown)\n"
         "\n"
         "Codes (outside sandbox mode) and webhook events leave from an outbox in the store, one\n"
         "at a time, retried with backoff (1, 2, 4 ... seconds) until they are sent or have "
         "failed:\n"
         "  --smtp-url URL       relay for e-mailed codes: smtp://host:port or smtps://host:port\n"
         "  --smtp-user NAME     login at the relay, with the password in --smtp-password-file\n"
         "  --smtp-password-file PATH\n"
         "  --smtp-from ADDRESS  the sender's address\n"
         "  --smtp-tls MODE      STARTTLS: try (default: when offered), require or none\n"
         "  --email-subject TEXT, --email-text-template FILE, --email-html-template FILE\n"
         "                       the e-mail's subject and bodies; {{project}}, {{code}},\n"
         "                       {{color}} and {{minutes}} are filled in\n"
         "  --sms-url URL        a text message provider's API, posted a JSON body per code\n"
         "  --sms-headers JSON   headers of those requests, e.g. {\"Authorization\": \"Bearer "
         "x\"}\n"
         "  --sms-body TEMPLATE  the JSON body; {{to}}, {{code}}, {{project}}, {{minutes}}\n"
         "  --delivery-ca-file PEM    certificates to trust for https receivers, besides the\n"
         "                       system's\n"
         "  --delivery-timeout S one attempt's time (default 10)\n"
         "  --outbox-retry-base S, --outbox-retry-max S, --outbox-max-attempts N\n"
         "                       backoff (default 1, 300) and attempts (default 8)\n"
         "  --audit-keep N       audit entries kept, the newest (default 100000)\n"
         "  --audit-days N       ... none older than this (default 90)\n"
         "\n"
         "Each setting may also come from the environment as ZELK_SERVER_<FLAG> (upper case, '-'\n"
         "as '_'). Flags win over the environment, which wins over the configuration file.\n"
         "\n"
         "Admin commands (the admin API under /admin/, with the token as a bearer token):\n"
         "  projects                               list the projects\n"
         "  project --client-id ID [--name N] [--overall-limit N] [--mobile-limit N]\n"
         "          [--tablet-limit N] [--computer-limit N] [--logo URL] [--primary-color C]\n"
         "          [--require-verification true|false] [--block-over-usage true|false]\n"
         "          [--limit-policy challenge|block|evict_oldest] [--show-contacts true|false]\n"
         "          [--liveness-grace SECONDS] [--webhook-url URL] [--webhook-secret S]\n"
         "                                         create or replace a project\n"
         "  user --client-id ID --user U [--email E] [--phone P]\n"
         "  show-user --client-id ID --user U      contact details, devices and challenges\n"
         "  logout --client-id ID --device D       detach a device and log it out\n"
         "  challenge --client-id ID --user U      raise a challenge by hand\n"
         "  resolve --client-id ID --challenge C   close a challenge\n"
         "  outbox [--state pending|done|failed]   codes and events to send, sent or failed\n"
         "  audit [--client-id ID] [--before SEQ] [--limit N]   security events, newest first\n"
         "\n"
         "Routes: /v2/ (the service), /admin/ (bearer token), /healthz, /readyz, /metrics\n"
         "(Prometheus text). In sandbox mode also, with JSON bodies:\n"
         "  GET/DELETE /_sandbox/requests  the recorded /v2/ requests; DELETE forgets them\n"
         "  GET /_sandbox/state            everything known, pending scripts, kept messages\n"
         "  POST /_sandbox/project         {\"client_id\", settings as for admin}: members left\n"
         "                                 out keep their values\n"
         "  POST /_sandbox/user            {\"client_id\", \"user\", \"email\", \"phone\"}\n"
         "  POST /_sandbox/challenge       {\"client_id\", \"user\"}: raise one by hand\n"
         "  GET /_sandbox/challenge/<id>   its state, with the last code sent (\"code\")\n"
         "  POST /_sandbox/logout          {\"device\"}: send the logout order to its streams\n"
         "  POST /_sandbox/script          {\"operation\", \"status\", \"body\"}: answer the next\n"
         "                                 request of an operation so; listen also takes\n"
         "                                 \"device\", \"stall\": true, or \"drip\", \"chunk\",\n"
         "                                 \"interval\"\n"
         "  POST /_sandbox/geolocation     {\"device\", \"city\", \"country\"}: where it shows as\n"
         "                                 last seen (members left out: not known) until an\n"
         "                                 attach placed by --geoip-db\n"
         "  POST /_sandbox/push            {\"device\", \"event\", \"id\", \"data\", \"retry\",\n"
         "                                 \"comment\"} or {\"device\", \"raw\"}\n"
         "  POST /_sandbox/end-stream      {\"device\", \"abort\"}: end its streams (all without\n"
         "                                 device)\n"
         "  GET /_sandbox/streams          open streams; ?device=&count=&timeout= waits for them\n"
         "  POST /_sandbox/repeat-open-challenges  {\"repeat\": false}: fresh streams no longer\n"
         "                                 hear open challenges again\n"
         "  GET /_sandbox/logo.png         a logo for demo projects\n";
}

}  // namespace zelk::server
