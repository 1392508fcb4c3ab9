// The words of a failed companion update as the loader's log shows them. The
// loader raises these messages and logs the cause line; kestro-publish's
// server check shows a maker the line a loader would log. Both take the words
// from here, so what the check promises is what the log says.
#pragma once

#include <cstdint>
#include <exception>
#include <string>

// The line after the exception report of a failed download that says why it
// failed: "Oorzaak: <class>: <message>".
std::string DownloadCauseLine(const std::string& className, const std::string& message);

// A success status without a body.
std::string NoContentMessage(const std::string& url, int status);
// A body without a declared length that ended before the length the size
// check's HEAD declared.
std::string ClosedEarlyMessage(std::int64_t received, std::int64_t declared,
                               const std::string& url);
// A download in `file` that is no whole program this platform can start.
std::string NotAProgramMessage(const std::string& file, const std::string& why);
// A signature whose GET failed with `e`; the class is named for the loader's
// own errors only.
std::string SignatureNotReceivedMessage(const std::string& sigUrl, const std::exception& e);
// A signature that does not fit the download.
std::string SignatureMismatchMessage(const std::string& sigUrl, const std::string& detail);
