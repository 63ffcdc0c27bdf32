#include "settings.h"

#include <charconv>

#include "tables.h"

const char* const badPortText = "The port must be a number from 1 to 65535.";
const char* const securityChoices[3] = {"None", "STARTTLS", "SSL/TLS"};

bool isSecurityChoice(const std::string& text) {
  for (const char* choice : securityChoices) {
    if (text == choice) return true;
  }
  return false;
}

namespace {
std::string textOf(const char* text) { return text != nullptr ? text : ""; }
}  // namespace

std::optional<Settings> readSettings(dbDatabase& db) {
  keldraCursor<Config> config(dbCursorForReading, &db);
  if (selectConfig(config) == 0) return std::nullopt;
  Settings settings;
  settings.server = textOf(config->server);
  settings.port = uint16_t(config->port);
  settings.username = textOf(config->username);
  settings.password = textOf(config->password);
  settings.fromAdd = config->fromAdd;
  settings.toAdd = config->toAdd;
  settings.subjectAdd = config->subjectAdd;
  settings.autoRemove = config->autoRemove;
  settings.autoExecute = config->autoExecute;
  settings.emailProgram = textOf(config->emailProgram);
  // A record from before the field existed, or anything unknown, means no security.
  settings.security = isSecurityChoice(textOf(config->security)) ? textOf(config->security) : "None";
  return settings;
}

bool writeSettings(dbDatabase& db, const Settings& settings) {
  keldraCursor<Config> config(dbCursorForUpdate, &db);
  if (selectConfig(config) == 0) return false;
  // The record's strings point into `settings` until update copies them in.
  config->server = settings.server.c_str();
  config->port = int16_t(settings.port);
  config->username = settings.username.c_str();
  config->password = settings.password.c_str();
  config->fromAdd = settings.fromAdd;
  config->toAdd = settings.toAdd;
  config->subjectAdd = settings.subjectAdd;
  config->autoRemove = settings.autoRemove;
  config->autoExecute = settings.autoExecute;
  config->emailProgram = settings.emailProgram.c_str();
  config->security = settings.security.c_str();
  config.update();
  return true;
}

std::optional<uint16_t> parsePortText(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  if (text.empty() || text.size() > 5) return std::nullopt;
  unsigned value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || value < 1 || value > 65535) return std::nullopt;
  return uint16_t(value);
}
