// Messages for the mail tests, written as a mail server stores them.
#pragma once

#include <string>

namespace testsupport {

// A plain text message. `extraHeaders` are complete header lines ending in "\r\n".
inline std::string mailMessage(const std::string& from, const std::string& to, const std::string& subject,
                               const std::string& body = "Hello.\r\n", const std::string& extraHeaders = "") {
  std::string message;
  if (!from.empty()) message += "From: " + from + "\r\n";
  if (!to.empty()) message += "To: " + to + "\r\n";
  message += "Subject: " + subject + "\r\n" + extraHeaders +
             "Date: Fri, 11 Dec 2026 10:00:00 +0000\r\nMIME-Version: 1.0\r\n"
             "Content-Type: text/plain; charset=utf-8\r\n\r\n" + body;
  return message;
}

// A message with one text part and two attachments, one named in RFC 2231 form.
inline std::string messageWithAttachments() {
  return "From: Carol <carol@example.org>\r\n"
         "To: me@home.example\r\n"
         "Subject: Photos from the trip\r\n"
         "Message-ID: <trip-photos@example.org>\r\n"
         "MIME-Version: 1.0\r\n"
         "Content-Type: multipart/mixed; boundary=\"b1\"\r\n"
         "\r\n"
         "--b1\r\n"
         "Content-Type: text/plain; charset=utf-8\r\n"
         "\r\n"
         "Here are the photos.\r\n"
         "See you soon.\r\n"
         "--b1\r\n"
         "Content-Type: image/jpeg\r\n"
         "Content-Disposition: attachment; filename=\"beach.jpg\"\r\n"
         "Content-Transfer-Encoding: base64\r\n"
         "\r\n"
         "/9j/4AAQSkZJRgABAQ==\r\n"
         "--b1\r\n"
         "Content-Type: application/pdf\r\n"
         "Content-Disposition: attachment; filename*=UTF-8''%E8%A1%8C%E7%A8%8B.pdf\r\n"
         "Content-Transfer-Encoding: base64\r\n"
         "\r\n"
         "JVBERi0xLjQ=\r\n"
         "--b1--\r\n";
}

}  // namespace testsupport
