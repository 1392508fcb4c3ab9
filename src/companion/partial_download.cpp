#include "companion/partial_download.h"

#include <cstdio>

#include "companion/record_file.h"

namespace companion {

namespace {

// FNV-1a over the companion's full path: a short name that tells two
// installations apart.
std::string NameOf(const std::string& companion) {
  std::uint64_t hash = 14695981039346656037ull;
  for (const char c : platform::ExpandFileName(companion)) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 1099511628211ull;
  }
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash));
  return std::string("sarvo-") + text + ".part";
}

}  // namespace

bool CanVouchForResume(const std::string& validator) {
  if (validator.rfind("ETag ", 0) == 0) return validator.rfind("ETag W/", 0) != 0;
  return validator.rfind("Last-Modified ", 0) == 0;
}

std::string WhyNotResumable(const PartialRecord& record, std::int64_t onDisk,
                            const std::string& url, std::int64_t declaredSize,
                            const std::string& validator, std::int64_t now) {
  if (record.url != url) return "ander adres";
  if (!CanVouchForResume(record.validator)) return "geen sterke ETag of datum van de server";
  if (now < record.began || now - record.began > kMaxPartialAgeSeconds) {
    return "ouder dan 7 dagen";
  }
  if (record.declaredSize < 0) return "geen grootte van de server";
  if (record.bytes > record.declaredSize || onDisk > record.declaredSize) {
    return "groter dan de opgegeven grootte";
  }
  if (onDisk < record.bytes) return "korter dan bewaard";
  if ((declaredSize >= 0 && declaredSize != record.declaredSize) ||
      (!validator.empty() && validator != record.validator)) {
    return "andere versie op de server";
  }
  return std::string();
}

PartialDownload::PartialDownload(const std::string& companion) {
  std::string folder;
  if (!platform::PrivateTempFolder(folder)) return;
  path_ = folder + NameOf(companion);
  recordPath_ = path_ + ".info";
}

bool PartialDownload::Load(PartialRecord& record) const {
  RecordFields fields;
  if (!Usable() || !ReadRecord(recordPath_, fields)) return false;
  PartialRecord read;
  read.url = fields["url"];
  read.validator = fields["validator"];
  if (!ParseCount(fields["size"], read.declaredSize) || !ParseCount(fields["bytes"], read.bytes) ||
      !ParseCount(fields["began"], read.began)) {
    return false;
  }
  record = read;
  return true;
}

bool PartialDownload::Save(const PartialRecord& record) const {
  return Usable() && WriteRecord(recordPath_, {{"url", record.url},
                                               {"size", std::to_string(record.declaredSize)},
                                               {"validator", record.validator},
                                               {"bytes", std::to_string(record.bytes)},
                                               {"began", std::to_string(record.began)}});
}

void PartialDownload::Discard() const {
  if (!Usable()) return;
  platform::FileDelete(recordPath_);
  platform::FileDelete(path_);
}

}  // namespace companion
