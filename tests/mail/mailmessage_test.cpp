// Message parsing: header fields decoded from every way mail encodes them, the MIME
// tree reduced to text parts and attachments in order, and hostile input parsed
// without a crash and without an invalid UTF-8 byte in the result.
#include "mailmessage.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

// The messages below are written with LF line ends; `crlf` cases are sent with CRLF,
// as a POP3 server delivers them.
std::string withLineEnds(std::string text, bool crlf) {
  if (!crlf) return text;
  std::string out;
  for (char c : text) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

// Strict UTF-8 check: no overlong forms, surrogates or code points past U+10FFFF.
bool isValidUtf8(const std::string& s) {
  size_t i = 0;
  while (i < s.size()) {
    const auto c = static_cast<unsigned char>(s[i]);
    // Continuation bytes needed after this lead byte; 4 marks an invalid lead byte.
    const size_t n = c < 0x80           ? 0
                     : (c >> 5) == 0x06 ? 1
                     : (c >> 4) == 0x0E ? 2
                     : (c >> 3) == 0x1E ? 3
                                        : 4;
    if (n > 3 || s.size() - i <= n) return false;
    uint32_t cp = n == 0 ? c : c & (0x3F >> n);
    for (size_t k = 1; k <= n; ++k) {
      const auto t = static_cast<unsigned char>(s[i + k]);
      if ((t & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (t & 0x3F);
    }
    static const uint32_t minimum[] = {0, 0x80, 0x800, 0x10000};
    if (cp < minimum[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += n + 1;
  }
  return true;
}

struct HeaderCase {
  const char* name;
  std::string raw;
  bool crlf;
  std::string fromAddress, fromDisplay, recipients, subject, messageId;
};

TEST(MailMessage, DecodesHeaderFields) {
  const HeaderCase cases[] = {
      {"FoldedHeadersQuotedNamesToAndCc",
       R"(Return-Path: <john@example.com>
Received: from mx.example.com (mx.example.com [192.0.2.1])
	by pop.example.org; Mon, 1 Jan 2024 10:00:00 +0000
From: "Doe, John" <john@example.com>
To: Alice <alice@example.org>,
 bob@example.net
Cc: "Carol \"CJ\" Jones" <carol@example.com>
Subject: Quarterly
 report
	draft
Message-ID: <20240101.1234@mail.example.com>

Body.
)",
       true, "john@example.com", R"("Doe, John" <john@example.com>)",
       R"(Alice <alice@example.org>, bob@example.net, "Carol \"CJ\" Jones" <carol@example.com>)",
       "Quarterly report draft", "20240101.1234@mail.example.com"},

      {"GroupsContributeTheirMembers",
       R"(From: Mailing List <list@example.com>, second@example.com
To: Friends: a@example.org, "Bee, B." <b@example.org>;, c@example.org
Cc: undisclosed-recipients:;
Subject: Groups

)",
       false, "list@example.com", "Mailing List <list@example.com>",
       R"(a@example.org, "Bee, B." <b@example.org>, c@example.org)", "Groups", ""},

      {"MissingToTakesCcOnly",
       "From: a@example.com\nCc: Zed <z@example.com>\nSubject: cc only\n\n", false,
       "a@example.com", "a@example.com", "Zed <z@example.com>", "cc only", ""},

      {"HeaderOnlyWithoutRecipients",
       "From: <a@example.com>\r\nSubject: top\r\nMessage-Id: <x@y>\r\n\r\n", false,
       "a@example.com", "a@example.com", "", "top", "x@y"},

      {"FromOnlyAGroupGivesNoSender",
       "From: Team: a@example.com, b@example.com;\nTo: c@example.com\n\n", false, "", "",
       "c@example.com", "", ""},

      {"FromGarbageGivesNoSender",
       "From: garbage\nTo: not an address, <>, d@example.com\nSubject: x\n\n", false, "", "",
       "d@example.com", "x", ""},

      {"EncodedDisplayNamesAreDecodedAndQuoted",
       "From: =?UTF-8?Q?M=C3=BCller=2C_Hans?= <hans@example.de>\n"
       "To: =?ISO-8859-1?Q?Andr=E9?= <andre@example.fr>\nSubject: names\n\n",
       false, "hans@example.de", R"("Müller, Hans" <hans@example.de>)",
       "André <andre@example.fr>", "names", ""},

      {"Utf8EncodedWordsSplitMidCharacterAcrossFoldedLines",
       "From: a@example.com\nSubject: =?UTF-8?B?5aCx5ZGK?=\n =?UTF-8?Q?=E6=9B?=\n"
       "\t=?UTF-8?Q?=B8?= final\n\n",
       true, "a@example.com", "a@example.com", "", "報告書 final", ""},

      {"Big5AndIso2022JpAndLatin1EncodedWords",
       "From: a@example.com\nSubject: =?big5?B?pKSk5Q==?= and "
       "=?ISO-2022-JP?B?GyRCJUYlOSVIGyhC?= and =?iso-8859-1?q?Caf=E9_cr=E8me?=\n\n",
       false, "a@example.com", "a@example.com", "", "中文 and テスト and Café crème", ""},

      {"AdjacentEncodedWordsInDifferentCharsetsJoin",
       "From: a@example.com\nSubject: =?koi8-r?B?8NLJ18XU?=  =?gb2312?B?1tDOxA==?=\n\n", false,
       "a@example.com", "a@example.com", "", "Привет中文", ""},

      {"EncodedLineBreakBecomesSpace",
       "From: a@example.com\nSubject: =?UTF-8?Q?one=0D=0Atwo?=\n\n", false, "a@example.com",
       "a@example.com", "", "one  two", ""},

      {"Raw8BitUtf8Headers",
       "From: J\xc3\xb6rg Sch\xc3\xa4" "fer <joerg@example.de>\n"
       "To: \"Z\xc3\xbcrich, B\xc3\xbcro\" <office@example.ch>\n"
       "Subject: Gr\xc3\xbc\xc3\x9f" "e 日本\n\n",
       false, "joerg@example.de", "Jörg Schäfer <joerg@example.de>",
       R"("Zürich, Büro" <office@example.ch>)", "Grüße 日本", ""},

      {"Raw8BitLatin1Headers",
       "From: J\xf6rg <joerg@example.de>\nTo: Fran\xe7ois <f@example.fr>\n"
       "Subject: R\xe9sum\xe9 \xa9 2024\n\n",
       true, "joerg@example.de", "Jörg <joerg@example.de>", "François <f@example.fr>",
       "Résumé © 2024", ""},
  };
  for (const HeaderCase& c : cases) {
    SCOPED_TRACE(c.name);
    const MailMessage m = parseMailMessage(withLineEnds(c.raw, c.crlf));
    EXPECT_EQ(m.fromAddress, c.fromAddress);
    EXPECT_EQ(m.fromDisplay, c.fromDisplay);
    EXPECT_EQ(m.recipients, c.recipients);
    EXPECT_EQ(m.subject, c.subject);
    EXPECT_EQ(m.messageId, c.messageId);
  }
}

struct ExpectedPart {
  MailPart::Kind kind;
  std::string fileName;
  std::vector<std::string> lines;
};
constexpr MailPart::Kind text = MailPart::Kind::text;
constexpr MailPart::Kind attachment = MailPart::Kind::attachment;

struct PartsCase {
  const char* name;
  std::string raw;
  bool crlf;
  std::vector<ExpectedPart> parts;
};

TEST(MailMessage, CollectsTextPartsAndAttachmentsInOrder) {
  const PartsCase cases[] = {
      {"HeaderOnly", "From: a@example.com\nSubject: top\n\n", true, {}},
      {"HeaderOnlyWithoutSeparator", "From: a@example.com\nSubject: top\n", true, {}},

      {"PlainBodyKeepsEmptyLinesButNotTheFinalLineEnd",
       "Subject: plain\n\nfirst line\n\nthird line\n", true,
       {{text, "", {"first line", "", "third line"}}}},

      {"Base64Utf8Body",
       "Content-Type: text/plain; charset=utf-8\nContent-Transfer-Encoding: base64\n\n"
       "R3LDvMOfZSBhdXMgS8O2bG4KWmVpbGUgendlaQo=\n",
       false, {{text, "", {"Grüße aus Köln", "Zeile zwei"}}}},

      {"QuotedPrintableLatin1BodyWithSoftBreaks",
       "Content-Type: text/plain; charset=\"ISO-8859-1\"\n"
       "Content-Transfer-Encoding: quoted-printable\n\nCaf=E9 cr=\n=E8me\nsecond=0D=0Athird\n",
       true, {{text, "", {"Café crème", "second", "third"}}}},

      {"StatefulIso2022JpBody",
       "Content-Type: text/plain; charset=ISO-2022-JP\n\n\x1b$B%F%9%H\x1b(B ok\n", false,
       {{text, "", {"テスト ok"}}}},

      {"Windows1258BodyKeepsTheCharacterTheDecoderHoldsBack",
       "Content-Type: text/plain; charset=windows-1258\n\nXin ch\xe0o", false,
       {{text, "", {"Xin chào"}}}},

      {"Gb2312LabelledBodyHoldingGbkCharacters",
       "Content-Type: text/plain; charset=gb2312\n\n\xd6\xd0\xce\xc4 \xe9\x46\n", false,
       {{text, "", {"中文 镕"}}}},

      {"UnlabelledBodyIsUtf8WhenValidElseLatin1",
       "MIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=b\n\n--b\n\n"
       "na\xc3\xafve\n--b\nContent-Type: text/plain; charset=us-ascii\n\nna\xefve\n"
       "--b\nContent-Type: text/plain; charset=x-no-such-charset\n\nna\xefve\n"
       "--b\nContent-Type: text/plain; charset=utf-8\n\nbad \xff byte\n--b--\n",
       false,
       {{text, "", {"naïve"}}, {text, "", {"naïve"}}, {text, "", {"naïve"}},
        {text, "", {"bad \xEF\xBF\xBD byte"}}}},

      {"MixedWithTextAndAttachmentsOneRfc2231Named",
       R"(From: sender@example.com
To: rcpt@example.org
Subject: Report
MIME-Version: 1.0
Content-Type: multipart/mixed; boundary="==outer=="

This is a multi-part message in MIME format.

--==outer==
Content-Type: text/plain; charset=UTF-8
Content-Transfer-Encoding: 7bit

Please find the report attached.
Regards

--==outer==
Content-Type: application/pdf; name="report.pdf"
Content-Disposition: attachment; filename="report.pdf"
Content-Transfer-Encoding: base64

JVBERi0xLjQKJcfsj6IKNSAwIG9iago=

--==outer==
Content-Type: application/pdf
Content-Disposition: attachment;
 filename*0*=UTF-8''%E5%A0%B1%E5%91%8A;
 filename*1*=%E6%9B%B8.pdf
Content-Transfer-Encoding: base64

JVBERi0xLjQK

--==outer==
Content-Type: text/plain
Content-Disposition: inline; filename=notes.txt

inline text under a file name
--==outer==
Content-Type: image/png
Content-Transfer-Encoding: base64

iVBORw0KGgo=
--==outer==--
)",
       true,
       {{text, "", {"Please find the report attached.", "Regards"}},
        {attachment, "report.pdf", {}},
        {attachment, "報告書.pdf", {}},
        {attachment, "notes.txt", {}}}},

      {"AlternativeGivesBothTextParts",
       "Content-Type: multipart/alternative; boundary=alt\n\n--alt\n"
       "Content-Type: text/plain; charset=utf-8\n\nHello\n--alt\n"
       "Content-Type: text/html; charset=utf-8\n\n<p>Hello</p>\n--alt--\n",
       false, {{text, "", {"Hello"}}, {text, "", {"<p>Hello</p>"}}}},

      {"NestedMultipartsAndAttachedMessages",
       R"(Content-Type: multipart/mixed; boundary=outer

--outer
Content-Type: multipart/alternative; boundary=inner

--inner
Content-Type: text/plain

plain
--inner
Content-Type: text/html

<b>html</b>
--inner--

--outer
Content-Type: message/rfc822

Subject: forwarded without a name

inner body is not read
--outer
Content-Type: message/rfc822; name="fwd.eml"

Subject: forwarded

inner body is not read either
--outer
Content-Type: application/octet-stream; name="=?UTF-8?B?w6R0dGFjaC5iaW4=?="

AAEC
--outer
Content-Type: application/octet-stream
Content-Disposition: attachment

AAEC
--outer--
)",
       false,
       {{text, "", {"plain"}},
        {text, "", {"<b>html</b>"}},
        {attachment, "fwd.eml", {}},
        {attachment, "ättach.bin", {}},
        {attachment, "", {}}}},
  };
  for (const PartsCase& c : cases) {
    SCOPED_TRACE(c.name);
    const MailMessage m = parseMailMessage(withLineEnds(c.raw, c.crlf));
    ASSERT_EQ(m.parts.size(), c.parts.size());
    for (size_t i = 0; i < c.parts.size(); ++i) {
      SCOPED_TRACE(i);
      EXPECT_EQ(m.parts[i].kind, c.parts[i].kind);
      EXPECT_EQ(m.parts[i].fileName, c.parts[i].fileName);
      EXPECT_EQ(m.parts[i].lines, c.parts[i].lines);
    }
  }
}

TEST(MailMessage, SurvivesMalformedInput) {
  std::string deep;
  for (int i = 0; i < 2000; ++i) {
    const std::string boundary = "b" + std::to_string(i);
    deep += "Content-Type: multipart/mixed; boundary=" + boundary + "\n\n--" + boundary + "\n";
  }
  deep += "\nbottom\n";

  const char nulChars[] = "From: a\0b@example.com\nSubject: nul\0byte\n\nbody\0with nul\n";
  const std::string nulBytes(nulChars, sizeof nulChars - 1);
  const std::string hugeHeader =
      "Subject: " + std::string(1 << 20, 'x') + "\n\n" + std::string(1 << 20, 'y');
  const std::string truncatedMultipart =
      "Content-Type: multipart/mixed; boundary=cut\n\n--cut\nContent-Type: text/plain\n\nhello\n"
      "--cut\nContent-Type: application/pdf; name=a.pdf\nContent-Transfer-Encoding: base64\n"
      "\nJVBER";
  const std::string inputs[] = {
      "",
      "\r\n",
      "From:\nTo:\nSubject:\n\n",
      nulBytes,
      hugeHeader,
      truncatedMultipart,
      "Content-Type: multipart/mixed\n\n--\nContent-Type: text/plain\n\nno boundary\n",
      "Content-Type: multipart/mixed; boundary=\"\"\n\n--\n\n--\n",
      "Content-Type: text/plain; charset=utf-8\nContent-Transfer-Encoding: base64\n\n!!!*&^%\n",
      "Content-Type: text/plain; charset=\"=?x?q?\"\n"
      "Content-Transfer-Encoding: quoted-printable\n\n=\n=Z\n",
      "Content-Disposition: attachment; filename*0*=x'';filename*7*=%FF%FE%\n\n",
      "Subject: =?UTF-8?B?====?= =?UTF-8?Q?=FF=FE?= =?\xff?q?x?=\n\n",
      "\xff\xfe\xfd: \x80\x81\n\n\xc0\xaf",
      "From: <<<@@@>>> \"unterminated\nTo: a@, @b, \"x\" <\n\n",
      deep,
  };
  for (const std::string& raw : inputs) {
    SCOPED_TRACE(raw.substr(0, 60));
    const MailMessage m = parseMailMessage(raw);
    for (const std::string* field :
         {&m.fromAddress, &m.fromDisplay, &m.recipients, &m.subject, &m.messageId}) {
      EXPECT_TRUE(isValidUtf8(*field));
      for (char ch : *field) EXPECT_GE(static_cast<unsigned char>(ch), 0x20);
    }
    for (const MailPart& part : m.parts) {
      EXPECT_TRUE(isValidUtf8(part.fileName));
      for (const std::string& line : part.lines) EXPECT_TRUE(isValidUtf8(line));
    }
  }

  // What can be parsed survives next to what cannot.
  const MailMessage nul = parseMailMessage(nulBytes);
  ASSERT_EQ(nul.parts.size(), 1u);
  EXPECT_EQ(nul.parts[0].lines, std::vector<std::string>{"body\xEF\xBF\xBDwith nul"});
  const MailMessage truncated = parseMailMessage(truncatedMultipart);
  ASSERT_GE(truncated.parts.size(), 1u);
  EXPECT_EQ(truncated.parts[0].lines, std::vector<std::string>{"hello"});
  EXPECT_EQ(parseMailMessage(hugeHeader).subject.size(), size_t{1} << 20);
}

}  // namespace
