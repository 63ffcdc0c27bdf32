// The settings record as plain values, read and written as a whole: what the
// configuration window edits and the command line shows and sets.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

class dbDatabase;

struct Settings {
  std::string server;
  uint16_t port = 110;  // stored in a signed 16-bit field: ports above 32767 as their 16 bits
  std::string username;
  std::string password;
  bool fromAdd = true;
  bool toAdd = true;
  bool subjectAdd = false;
  bool autoRemove = false;
  bool autoExecute = false;
  std::string emailProgram;
  std::string security = "None";  // "None", "STARTTLS" or "SSL/TLS"
};

// The names of the security choices, in the order the configuration window lists them.
extern const char* const securityChoices[3];  // "None", "STARTTLS", "SSL/TLS"
// Whether `text` names one of them.
bool isSecurityChoice(const std::string& text);

// The first settings record (the program never makes more than one); nothing when the
// table is empty. REQUIRES: the caller commits.
std::optional<Settings> readSettings(dbDatabase& db);

// Selects the settings record again and stores `settings` in it; false when there is
// none. REQUIRES: the caller commits.
bool writeSettings(dbDatabase& db, const Settings& settings);

// A port typed by the user: a decimal number from 1 to 65535 (spaces around it
// ignored), or nothing.
std::optional<uint16_t> parsePortText(std::string_view text);
extern const char* const badPortText;  // "The port must be a number from 1 to 65535."
