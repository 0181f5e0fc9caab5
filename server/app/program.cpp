// SPDX-License-Identifier: Apache-2.0
#include "app/program.hpp"

#include <algorithm>
#include <csignal>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <curl/curl.h>
#include <pthread.h>
#include <nlohmann/json.hpp>
#include <zelk/version.hpp>

#include "app/settings.hpp"

extern char** environ;

namespace zelk::server {
namespace {

using nlohmann::json;

int usageError(const std::string& name, const std::string& message) {
  std::cerr << name << ": " << message << "\nTry '" << name << " --help'.\n";
  return 2;
}

std::map<std::string, std::string> environmentVariables() {
  std::map<std::string, std::string> variables;
  for (char** entry = environ; entry && *entry; ++entry) {
    const std::string text = *entry;
    const auto eq = text.find('=');
    if (eq != std::string::npos) variables[text.substr(0, eq)] = text.substr(eq + 1);
  }
  return variables;
}

// `value` percent-encoded for a URL's query or path.
std::string urlEscape(const std::string& value) {
  std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> easy(curl_easy_init(), curl_easy_cleanup);
  char* escaped =
      easy ? curl_easy_escape(easy.get(), value.c_str(), static_cast<int>(value.size())) : nullptr;
  std::string out = escaped ? escaped : "";
  curl_free(escaped);
  return out;
}

// One call to the admin API; prints the answer. 0 for a 2xx answer.
// With `kept`, the answer of a 2xx is kept there instead of printed.
int callAdmin(const std::string& url, const std::string& token, const std::string& method,
              const std::string& path, const std::string& body, std::string* kept = nullptr) {
  std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> easy(curl_easy_init(), curl_easy_cleanup);
  if (!easy) return std::cerr << "zelk-server admin: cannot start a request\n", 1;
  std::string answer;
  const std::string target = url + path;
  curl_easy_setopt(easy.get(), CURLOPT_URL, target.c_str());
  curl_easy_setopt(easy.get(), CURLOPT_TIMEOUT, 30L);
  curl_easy_setopt(easy.get(), CURLOPT_NOSIGNAL, 1L);
  const std::string authorization = "Authorization: Bearer " + token;
  curl_slist* headers = curl_slist_append(nullptr, authorization.c_str());
  headers = curl_slist_append(headers, "Content-Type: application/json");
  curl_easy_setopt(easy.get(), CURLOPT_HTTPHEADER, headers);
  if (method == "POST") {
    curl_easy_setopt(easy.get(), CURLOPT_POSTFIELDS, body.c_str());
    curl_easy_setopt(easy.get(), CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
  }
  curl_easy_setopt(
      easy.get(), CURLOPT_WRITEFUNCTION, +[](char* data, size_t size, size_t count, void* out) {
        static_cast<std::string*>(out)->append(data, size * count);
        return size * count;
      });
  curl_easy_setopt(easy.get(), CURLOPT_WRITEDATA, &answer);
  const CURLcode result = curl_easy_perform(easy.get());
  curl_slist_free_all(headers);
  if (result != CURLE_OK) {
    std::cerr << "zelk-server admin: " << target << ": " << curl_easy_strerror(result) << "\n";
    return 1;
  }
  long status = 0;
  curl_easy_getinfo(easy.get(), CURLINFO_RESPONSE_CODE, &status);
  const bool succeeded = status >= 200 && status <= 299;
  if (kept && succeeded) {
    *kept = std::move(answer);
  } else {
    std::cout << answer << std::endl;
  }
  if (!succeeded) {
    std::cerr << "zelk-server admin: the server answered " << status << "\n";
    return 1;
  }
  return 0;
}

// Adds a console operator and prints the link that sets their password.
int addOperator(const std::string& url, const std::string& token, const std::string& body) {
  std::string answer;
  const int status = callAdmin(url, token, "POST", "/admin/operators", body, &answer);
  if (status != 0) return status;
  const json added = json::parse(answer, nullptr, /*allow_exceptions=*/false);
  if (!added.is_object() || !added.contains("setup_token")) return 1;
  const auto escape = urlEscape;
  std::string base = url;
  while (!base.empty() && base.back() == '/') base.pop_back();
  std::cout << "Operator " << added.value("name", "") << " (" << added.value("role", "")
            << "). Set-up link, valid until " << added.value("setup_until", "")
            << " and shown this once:\n"
            << base << "/console/setup?operator=" << escape(added.value("name", ""))
            << "&token=" << escape(added.value("setup_token", "")) << std::endl;
  return 0;
}

int runAdmin(const std::string& program, const std::vector<std::string>& args) {
  const std::string name = program + " admin";
  std::map<std::string, std::string> options;
  std::string command, operatorName;
  bool help = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--help" || arg == "-h") {
      help = true;
      continue;
    }
    if (!arg.starts_with("--")) {
      // "operator add NAME" is the one command of several words.
      if (command == "operator" && arg == "add") {
        command = "operator add NAME";
      } else if (command == "operator add NAME" && operatorName.empty()) {
        operatorName = arg;
      } else if (!command.empty()) {
        return usageError(name, "unexpected argument '" + arg + "'");
      } else {
        command = arg;
      }
      continue;
    }
    if (i + 1 >= args.size()) return usageError(name, arg + " needs a value");
    options[arg.substr(2)] = args[++i];
  }
  const auto& commands = adminCommands();
  const auto found = std::find_if(commands.begin(), commands.end(),
                                  [&](const AdminCommand& known) { return known.name == command; });
  if (help) {
    if (command.empty()) {
      std::cout << "Usage: " << name << " --url URL --token-file PATH COMMAND [OPTION]...\n\n"
                << adminUsage(program);
      return 0;
    }
    if (found == commands.end()) return usageError(name, "unknown command '" + command + "'");
    std::cout << adminCommandUsage(program, *found);
    return 0;
  }
  if (command.empty()) return usageError(name, "which command? (" + name + " --help lists them)");
  if (found == commands.end()) return usageError(name, "unknown command '" + command + "'");
  if (!options.contains("url") || !options.contains("token-file"))
    return usageError(name, "--url and --token-file are needed");
  std::ifstream tokenFile(options["token-file"]);
  std::string token;
  if (!std::getline(tokenFile, token) || token.empty())
    return usageError(name, "cannot read a token from " + options["token-file"]);
  const std::string url = options["url"];

  json body = json::object();
  std::set<std::string> allowed = {"url", "token-file"};
  for (const auto& key : found->required) {
    if (!options.contains(key)) return usageError(name, command + " needs --" + key);
    allowed.insert(key);
  }
  for (const auto& key : found->optional) allowed.insert(key);
  for (const auto& [key, value] : options) {
    if (!allowed.contains(key)) return usageError(name, command + " takes no --" + key);
    if (key == "url" || key == "token-file") continue;
    std::string member = key;
    for (char& c : member) c = c == '-' ? '_' : c;
    if (member.ends_with("_limit") || member.ends_with("_days") || member == "liveness_grace" ||
        member == "days") {
      try {
        body[member] = std::stoll(value);
      } catch (const std::exception&) {
        return usageError(name, "--" + key + " must be a number");
      }
    } else if (member == "require_verification" || member == "block_over_usage" ||
               member == "show_contacts" || member == "require_signed_users" ||
               member == "new_device_notices" || member == "replace" || member == "all" ||
               member == "clear") {
      if (value != "true" && value != "false")
        return usageError(name, "--" + key + " must be true or false");
      body[member] = value == "true";
    } else {
      body[member] = value;
    }
  }
  if (command == "operator add NAME") {
    if (operatorName.empty()) return usageError(name, "operator add needs the operator's NAME");
    body["name"] = operatorName;
    return addOperator(url, token, body.dump());
  }
  if (command == "operators") return callAdmin(url, token, "GET", "/admin/operators", "");
  if (command == "retry")
    return callAdmin(url, token, "POST", "/admin/outbox/retry",
                     json{{"id", body.value("message", "")}}.dump());
  const std::string text = body.dump();
  if (command == "projects") return callAdmin(url, token, "GET", "/admin/projects", "");
  if (command == "project") return callAdmin(url, token, "POST", "/admin/projects", text);
  if (command == "user") return callAdmin(url, token, "POST", "/admin/users", text);
  if (command == "logout") return callAdmin(url, token, "POST", "/admin/logout", text);
  if (command == "challenge") return callAdmin(url, token, "POST", "/admin/challenges", text);
  if (command == "resolve") return callAdmin(url, token, "POST", "/admin/challenges/resolve", text);
  if (command == "override") return callAdmin(url, token, "POST", "/admin/override", text);
  if (command == "erase") return callAdmin(url, token, "POST", "/admin/erase", text);
  if (command == "delete-project")
    return callAdmin(url, token, "POST", "/admin/projects/delete", text);
  if (command == "make-key") return callAdmin(url, token, "POST", "/admin/keys", text);
  if (command == "revoke-key") return callAdmin(url, token, "POST", "/admin/keys/revoke", text);
  const auto escape = urlEscape;
  if (command == "outbox" || command == "audit" || command == "users" || command == "suspects" ||
      command == "keys") {
    std::string query;
    for (const auto& [key, value] : options) {
      if (key == "url" || key == "token-file") continue;
      query += (query.empty() ? "?" : "&") + (key == "client-id" ? "client_id" : key) + "=" +
               escape(value);
    }
    return callAdmin(url, token, "GET", "/admin/" + command + query, "");
  }
  // show-user and export
  return callAdmin(url, token, "GET",
                   std::string(command == "export" ? "/admin/export" : "/admin/user") +
                       "?client_id=" + escape(options["client-id"]) +
                       "&user=" + escape(options["user"]),
                   "");
}

}  // namespace

int runProgram(int argc, char** argv, bool sandboxAlias) {
  const std::string name = sandboxAlias ? "zelk-sandbox" : "zelk-server";
  std::vector<std::string> args(argv + 1, argv + argc);
  if (!args.empty() && args[0] == "admin") {
    curl_global_init(CURL_GLOBAL_DEFAULT);
    const int status = runAdmin(name, std::vector<std::string>(args.begin() + 1, args.end()));
    curl_global_cleanup();
    return status;
  }

  ProgramSettings settings;
  try {
    settings = readSettings(args, environmentVariables(), sandboxAlias);
  } catch (const std::invalid_argument& error) {
    return usageError(name, error.what());
  }
  if (settings.help) {
    std::cout << usage(sandboxAlias);
    return 0;
  }
  if (settings.version) {
    std::cout << name << " " << ZELK_VERSION << "\n";
    return 0;
  }
  try {
    settings.app.adminToken = loadOrCreateAdminToken(settings.adminTokenFile);
    if (!settings.codeKeyFile.empty())
      settings.app.codeKey = loadOrCreateSecret(settings.codeKeyFile, "the code key");
  } catch (const std::exception& error) {
    std::cerr << name << ": " << error.what() << "\n";
    return 1;
  }

  // Blocked here, the signals are inherited blocked by the server's threads and collected below.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  std::signal(SIGPIPE, SIG_IGN);

  std::unique_ptr<App> app;
  try {
    app = std::make_unique<App>(settings.app);
  } catch (const std::exception& error) {
    std::cerr << name << ": " << error.what() << "\n";
    return 1;
  }
  std::string error;
  if (!app->start(&error)) {
    std::cerr << name << ": " << error << "\n";
    return 1;
  }
  std::cout << name << " listening on " << app->baseURL() << "\n"
            << name << " admin token in " << settings.adminTokenFile << "\n"
            << name << " keeps its records "
            << (!settings.app.database.empty()  ? "in " + app->service().store().describe()
                : settings.app.dataFile.empty() ? "in memory"
                                                : "in " + settings.app.dataFile)
            << std::endl;

  int received = 0;
  while (sigwait(&signals, &received) == 0 && received == SIGHUP) {
    // A renewed certificate is taken without a restart; every other setting needs one.
    if (!settings.app.http.tlsCertFile.empty()) {
      std::string why;
      if (app->reloadTLS(&why))
        std::cerr << name << ": reloaded the TLS certificate and key" << std::endl;
      else
        std::cerr << name << ": kept the TLS certificate in use: " << why << std::endl;
    } else {
      std::cerr << name << ": SIGHUP: nothing to reload (restart to apply new settings)"
                << std::endl;
    }
  }
  std::cerr << name << ": draining" << std::endl;
  const bool drained = app->drain(std::chrono::seconds(10));
  if (!drained) std::cerr << name << ": some connections were still open after 10 s" << std::endl;
  return 0;
}

}  // namespace zelk::server
