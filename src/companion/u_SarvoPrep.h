// The companion tool's settings in the current user's registry: its start
// mode ("Params"), the flag that a start by the loader is in progress
// ("State"), and the size of a release that could not start
// ("RefusedSize", which the loader now keeps beside the companion and only
// falls back to, see companion/refused_release.h). The rest of the loader
// reaches them only through ISarvoSettings.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/registry.h"

// The companion tool's settings. The first four operations keep this slot
// order; each of the seven opens the registry key, does its single read or
// write and closes the key again before it returns, so another process (the
// companion tool itself) sees a written value at once.
class ISarvoSettings {
 public:
  // The values of the flag byte; the companion tool reads them as numbers.
  static constexpr std::uint8_t kNoStart = 0;
  static constexpr std::uint8_t kStartInProgress = 1;

  // The flag byte: kStartInProgress while a start by the loader is in
  // progress, else kNoStart.
  virtual std::uint8_t GetState() = 0;
  // The start mode, "" when the key or the value is missing.
  virtual std::string GetParams() = 0;
  virtual void SetState(std::uint8_t state) = 0;
  virtual void SetParams(const std::string& params) = 0;
  // The server's length of a release that could not start and was rolled
  // back; false when none is kept. Read like the flag.
  virtual bool GetRefusedSize(std::uint32_t& size) = 0;
  virtual void SetRefusedSize(std::uint32_t size) = 0;
  // Forgets the refused release; a missing value or key is no error.
  virtual void ClearRefusedSize() = 0;

  virtual ~ISarvoSettings() = default;
};

// A fresh store on every call; stores share nothing but the registry. The
// store lives as long as somebody holds the pointer.
std::shared_ptr<ISarvoSettings> GetSarvoSettings();

// The registry accessor of the settings store: the current user's root, full
// access, at most one key open at a time. Reads and writes raise
// ERegistryException with the value's name when the value has the wrong type
// or the registry refuses the call.
class TSarvoRegistry {
 public:
  TSarvoRegistry() = default;

  platform::RegRoot RootKey() const { return platform::RegRoot::CurrentUser; }
  platform::RegAccess Access() const { return platform::RegAccess::All; }

  // True when the key exists; never creates it.
  bool KeyExists(const std::string& key) const;
  // Opens the key; with `canCreate` a missing key (and missing keys above it)
  // is created. False when it cannot be opened or created.
  bool OpenKey(const std::string& key, bool canCreate);
  void CloseKey();
  bool IsOpen() const { return current_.IsOpen(); }

  bool ValueExists(const std::string& name) const;
  // A REG_SZ or REG_EXPAND_SZ value up to its first NUL, unexpanded.
  std::string ReadString(const std::string& name) const;
  // A REG_DWORD value of at most four bytes.
  std::int32_t ReadInteger(const std::string& name) const;
  void WriteString(const std::string& name, const std::string& value);
  void WriteInteger(const std::string& name, std::int32_t value);
  // Removes a value; a missing one is no error, a refusal raises.
  void DeleteValue(const std::string& name);

 private:
  platform::RegKey current_;
};

// The settings store behind ISarvoSettings.
class TSarvoPrep : public ISarvoSettings {
 public:
  // The key, absolute below the current user's root.
  static const char* const kKey;

  TSarvoPrep();
  ~TSarvoPrep() override;

  std::uint8_t GetState() override;
  std::string GetParams() override;
  void SetState(std::uint8_t state) override;
  void SetParams(const std::string& params) override;
  bool GetRefusedSize(std::uint32_t& size) override;
  void SetRefusedSize(std::uint32_t size) override;
  void ClearRefusedSize() override;

  TSarvoRegistry& Registry() { return *Registry_; }

 private:
  std::unique_ptr<TSarvoRegistry> Registry_;
};
