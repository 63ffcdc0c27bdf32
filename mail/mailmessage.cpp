// Mail message parsing with GMime.
//
// GMime does the MIME work: header unfolding and RFC 2047 decoding, address lists,
// RFC 2231 parameters, the multipart tree and transfer decoding. What is done here on
// top of it: choosing which parts count, converting text bodies to UTF-8 (a
// replacement character for every byte the charset rejects; unlabelled text read as
// UTF-8 when valid, else as ISO-8859-1), and making sure every string handed out is
// valid UTF-8.
#include "mailmessage.h"

#include <gmime/gmime.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>

namespace {

struct GObjectUnref {
  void operator()(gpointer object) const {
    if (object) g_object_unref(object);
  }
};
template <class T>
using GObjectPtr = std::unique_ptr<T, GObjectUnref>;

struct GFree {
  void operator()(gpointer memory) const { g_free(memory); }
};
using GCharPtr = std::unique_ptr<char, GFree>;

constexpr const char* kReplacement = "\xEF\xBF\xBD";  // U+FFFD

// GMime must be initialised before any other call. The parser options live for the
// whole process: 8-bit header bytes are tried as UTF-8, then as ISO-8859-1, which
// accepts every byte, so undeclared header text always decodes to something.
GMimeParserOptions* parserOptions() {
  static std::once_flag once;
  static GMimeParserOptions* options = nullptr;
  std::call_once(once, [] {
    g_mime_init();
    options = g_mime_parser_options_new();
    static const char* fallback[] = {"UTF-8", "ISO-8859-1", nullptr};
    g_mime_parser_options_set_fallback_charsets(options, fallback);
  });
  return options;
}

// `bytes` as valid UTF-8: each byte that is not part of a valid sequence (NUL
// included) becomes U+FFFD.
std::string validUtf8(const char* bytes, size_t size) {
  if (size == 0) return {};
  if (g_utf8_validate_len(bytes, size, nullptr)) return std::string(bytes, size);
  GCharPtr fixed(g_utf8_make_valid(bytes, static_cast<gssize>(size)));
  return fixed.get();
}

std::string latin1ToUtf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size() * 2);
  for (unsigned char c : bytes) {
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

// A header value as one line of valid UTF-8: control characters, which unfolding
// leaves (tabs) or encoded words may carry (line breaks), become spaces.
std::string headerText(const char* value) {
  if (!value) return {};
  std::string text = validUtf8(value, std::strlen(value));
  for (char& c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7F) c = ' ';
  }
  return text;
}

bool isUnlabelled(const char* charset) {
  return !charset || !*charset || !g_ascii_strcasecmp(charset, "us-ascii") ||
         !g_ascii_strcasecmp(charset, "ascii") || !g_ascii_strcasecmp(charset, "ansi_x3.4-1968");
}

// Text in a declared charset is often written in that charset's superset, the way the
// sending software's platform defines it: GB2312 mail routinely holds GBK characters.
const char* supersetOf(const char* charset) {
  static const char* const gbFamily[] = {"gb2312", "gbk", "x-gbk", "euc-cn", "cp936"};
  for (const char* name : gbFamily) {
    if (!g_ascii_strcasecmp(charset, name)) return "GB18030";
  }
  return charset;
}

// Converts `bytes` from `charset` to UTF-8 through iconv, resynchronising one byte
// past every sequence the charset rejects. Returns false when iconv does not know the
// charset.
bool convertToUtf8(std::string_view bytes, const char* charset, std::string& out) {
  iconv_t cd = g_mime_iconv_open("UTF-8", supersetOf(charset));
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  out.clear();
  out.reserve(bytes.size() + bytes.size() / 2);
  char* in = const_cast<char*>(bytes.data());
  size_t inLeft = bytes.size();
  char buffer[4096];
  while (inLeft > 0) {
    char* outPtr = buffer;
    size_t outLeft = sizeof buffer;
    const size_t rc = g_mime_iconv(cd, &in, &inLeft, &outPtr, &outLeft);
    out.append(buffer, static_cast<size_t>(outPtr - buffer));
    if (rc == static_cast<size_t>(-1) && errno != E2BIG) {
      // An invalid sequence, or an incomplete one at the end of the input.
      out += kReplacement;
      ++in;
      --inLeft;
    }
  }
  // Some decoders (windows-1258, windows-1255) hold the last character back in case a
  // combining mark follows; a call without input releases it.
  char* outPtr = buffer;
  size_t outLeft = sizeof buffer;
  g_mime_iconv(cd, nullptr, nullptr, &outPtr, &outLeft);
  out.append(buffer, static_cast<size_t>(outPtr - buffer));
  g_mime_iconv_close(cd);
  return true;
}

std::string textToUtf8(std::string_view bytes, const char* charset) {
  std::string converted;
  if (!isUnlabelled(charset) && convertToUtf8(bytes, charset, converted))
    return validUtf8(converted.data(), converted.size());
  // No usable label: UTF-8 when the bytes are valid UTF-8, else ISO-8859-1, which
  // accepts any byte. NUL is not valid here and becomes U+FFFD.
  if (g_utf8_validate_len(bytes.data(), bytes.size(), nullptr)) return std::string(bytes);
  const std::string latin1 = latin1ToUtf8(bytes);
  return validUtf8(latin1.data(), latin1.size());
}

// Splits on LF, dropping a CR before it; a final line end does not start another line.
std::vector<std::string> splitLines(std::string_view text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    const size_t next = end == std::string_view::npos ? text.size() : end + 1;
    if (end == std::string_view::npos) end = text.size();
    if (end > start && text[end - 1] == '\r') --end;
    lines.emplace_back(text.substr(start, end - start));
    start = next;
  }
  return lines;
}

// The part's content with its transfer encoding undone.
std::string decodedContent(GMimePart* part) {
  GMimeDataWrapper* content = g_mime_part_get_content(part);
  if (!content) return {};
  GObjectPtr<GMimeStream> sink(g_mime_stream_mem_new());
  if (g_mime_data_wrapper_write_to_stream(content, sink.get()) < 0) return {};
  GByteArray* bytes = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(sink.get()));
  if (!bytes || bytes->len == 0) return {};
  return std::string(reinterpret_cast<const char*>(bytes->data), bytes->len);
}

// The part's file name, from its disposition or else from its content type; "" when
// it has none. GMime has already decoded RFC 2231 and encoded-word parameter values.
std::string fileNameOf(GMimeObject* object) {
  const char* name = g_mime_object_get_content_disposition_parameter(object, "filename");
  if (!name || !*name) name = g_mime_object_get_content_type_parameter(object, "name");
  return headerText(name);
}

bool isAttachmentDisposition(GMimeObject* object) {
  GMimeContentDisposition* disposition = g_mime_object_get_content_disposition(object);
  return disposition && g_mime_content_disposition_is_attachment(disposition);
}

// Walks the MIME tree depth first, in message order. GMime's parser limits nesting as
// well; the depth check keeps this recursion safe whatever the tree.
void collectParts(GMimeObject* object, std::vector<MailPart>& parts, int depth) {
  if (!object || depth > 100) return;
  if (GMIME_IS_MULTIPART(object)) {
    GMimeMultipart* multipart = GMIME_MULTIPART(object);
    const int count = g_mime_multipart_get_count(multipart);
    for (int i = 0; i < count; ++i)
      collectParts(g_mime_multipart_get_part(multipart, i), parts, depth + 1);
    return;
  }
  if (GMIME_IS_MESSAGE_PART(object)) {
    // An attached message is listed only under a file name; its content is not read.
    std::string name = fileNameOf(object);
    if (!name.empty()) parts.push_back({MailPart::Kind::attachment, std::move(name), {}});
    return;
  }
  if (!GMIME_IS_PART(object)) return;
  std::string name = fileNameOf(object);
  if (!name.empty() || isAttachmentDisposition(object)) {
    parts.push_back({MailPart::Kind::attachment, std::move(name), {}});
    return;
  }
  GMimeContentType* type = g_mime_object_get_content_type(object);
  if (!type || !g_mime_content_type_is_type(type, "text", "*")) return;
  const std::string bytes = decodedContent(GMIME_PART(object));
  const char* charset = g_mime_content_type_get_parameter(type, "charset");
  std::vector<std::string> lines = splitLines(textToUtf8(bytes, charset));
  if (!lines.empty()) parts.push_back({MailPart::Kind::text, {}, std::move(lines)});
}

// Mailboxes whose address has no local part or no domain are what GMime makes of
// garbage in an address field; they are not addresses anyone can be matched by.
const char* mailboxAddress(InternetAddress* address) {
  if (!INTERNET_ADDRESS_IS_MAILBOX(address)) return nullptr;
  const char* addr = internet_address_mailbox_get_addr(INTERNET_ADDRESS_MAILBOX(address));
  if (!addr) return nullptr;
  const char* at = std::strrchr(addr, '@');
  if (!at || at == addr || at[1] == '\0') return nullptr;
  return addr;
}

// `Name <addr>` with the name decoded, and quoted (with `"` and `\` escaped) when it
// holds an RFC 5322 special such as a comma, or the bare address when there is no
// name. Built here rather than by GMime, whose unencoded form leaves names holding a
// quote or a backslash unquoted.
std::string displayForm(InternetAddress* mailbox, const char* addr) {
  std::string name = headerText(internet_address_get_name(mailbox));
  const size_t first = name.find_first_not_of(' ');
  if (first == std::string::npos) return headerText(addr);
  name = name.substr(first, name.find_last_not_of(' ') - first + 1);
  std::string out;
  if (name.find_first_of("()<>[]:;@\\,.\"") == std::string::npos) {
    out = name;
  } else {
    out = '"';
    for (char c : name) {
      if (c == '"' || c == '\\') out += '\\';
      out += c;
    }
    out += '"';
  }
  return out + " <" + headerText(addr) + ">";
}

// Appends each mailbox of `list` in display form, a group by its members. Groups do
// not nest in mail syntax; the depth check only bounds the recursion.
void appendRecipients(InternetAddressList* list, std::string& out, int depth) {
  if (!list || depth > 2) return;
  const int count = internet_address_list_length(list);
  for (int i = 0; i < count; ++i) {
    InternetAddress* address = internet_address_list_get_address(list, i);
    if (INTERNET_ADDRESS_IS_GROUP(address)) {
      appendRecipients(internet_address_group_get_members(INTERNET_ADDRESS_GROUP(address)), out,
                       depth + 1);
    } else if (const char* addr = mailboxAddress(address)) {
      if (!out.empty()) out += ", ";
      out += displayForm(address, addr);
    }
  }
}

}  // namespace

MailMessage parseMailMessage(std::string_view raw) {
  MailMessage result;
  GMimeParserOptions* options = parserOptions();
  if (raw.empty()) return result;

  GObjectPtr<GMimeStream> stream(g_mime_stream_mem_new_with_buffer(raw.data(), raw.size()));
  GObjectPtr<GMimeParser> parser(g_mime_parser_new_with_stream(stream.get()));
  g_mime_parser_set_format(parser.get(), GMIME_FORMAT_MESSAGE);
  GObjectPtr<GMimeMessage> message(g_mime_parser_construct_message(parser.get(), options));
  if (!message) return result;

  // The first top-level mailbox of From: a group is not a sender.
  if (InternetAddressList* from = g_mime_message_get_from(message.get())) {
    const int count = internet_address_list_length(from);
    for (int i = 0; i < count; ++i) {
      InternetAddress* address = internet_address_list_get_address(from, i);
      if (const char* addr = mailboxAddress(address)) {
        result.fromAddress = headerText(addr);
        result.fromDisplay = displayForm(address, addr);
        break;
      }
    }
  }
  appendRecipients(g_mime_message_get_to(message.get()), result.recipients, 0);
  appendRecipients(g_mime_message_get_cc(message.get()), result.recipients, 0);
  result.subject = headerText(g_mime_message_get_subject(message.get()));
  result.messageId = headerText(g_mime_message_get_message_id(message.get()));

  collectParts(g_mime_message_get_mime_part(message.get()), result.parts, 0);
  return result;
}
