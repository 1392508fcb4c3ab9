#include "connection/update_log_texts.h"

#include "support/Exceptions.h"

std::string DownloadCauseLine(const std::string& className, const std::string& message) {
  return "Oorzaak: " + className + ": " + message;
}

std::string NoContentMessage(const std::string& url, int status) {
  return "Geen inhoud ontvangen voor " + url + " (HTTP " + std::to_string(status) + ")";
}

std::string ClosedEarlyMessage(std::int64_t received, std::int64_t declared,
                               const std::string& url) {
  return "Connection closed after " + std::to_string(received) + " of the " +
         std::to_string(declared) + " bytes the server declared for " + url;
}

std::string NotAProgramMessage(const std::string& file, const std::string& why) {
  return file + " is geen geldig programma: " + why;
}

std::string SignatureNotReceivedMessage(const std::string& sigUrl, const std::exception& e) {
  const ExceptionDescription d = Describe(e);
  return "Handtekening " + sigUrl +
         " niet ontvangen: " + (d.loaderError ? d.className + ": " : std::string()) + d.message;
}

std::string SignatureMismatchMessage(const std::string& sigUrl, const std::string& detail) {
  return "Handtekening " + sigUrl + " klopt niet bij de download: " + detail;
}
