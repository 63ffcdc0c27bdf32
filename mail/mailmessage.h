// A mail message parsed into what the filter rules look at: sender, recipients,
// subject, Message-ID, and the text and attachment parts of the body.
//
// The parsing itself uses GMime, but this header uses plain C++ types only: it is
// included by Qt code, and GLib's and Qt's keywords clash.
#pragma once

#include <string>
#include <string_view>
#include <vector>

struct MailPart {
  enum class Kind { text, attachment };
  Kind kind;
  std::string fileName;            // attachments: the file name (UTF-8), "" when it has none
  std::vector<std::string> lines;  // text parts: the decoded body as UTF-8 lines, without line ends
};

struct MailMessage {
  std::string fromAddress;  // the first sender's bare address ("a@b.c"), "" when none
  std::string fromDisplay;  // `Name <a@b.c>`, the name quoted when it needs it; or the bare address
  std::string recipients;   // To then Cc recipients, each in display form, joined by ", "
  std::string subject;      // decoded subject, UTF-8, unfolded
  std::string messageId;    // Message-ID without angle brackets, "" when none
  std::vector<MailPart> parts;  // text parts and attachments in message order; other parts skipped
};

// Parses one message given as its raw bytes: the header and optionally the body, lines
// ending in CRLF or LF, already dot-unstuffed. Never throws for malformed input: what
// cannot be parsed stays empty. Every string is valid UTF-8; header fields hold no
// control characters (each becomes a space).
//
// Header text: RFC 2047 encoded words are decoded from their charset; raw 8-bit bytes
// are read as UTF-8 when they are valid UTF-8, else as ISO-8859-1.
// Addresses: group members count as recipients; a From holding only a group, or a
// mailbox without an `@`, gives no sender.
// Parts: a part is an attachment when its disposition is `attachment` or it carries a
// file name (an attached message only when it carries one; otherwise it is skipped
// with its content). Any other text/* part is a text part, decoded from its transfer
// encoding and charset (unlabelled or US-ASCII: UTF-8 when valid, else ISO-8859-1).
// A text part whose body is empty is left out, so a header-only message has no parts.
//
// Safe to call from one thread at a time; the first call initialises GMime.
MailMessage parseMailMessage(std::string_view raw);
