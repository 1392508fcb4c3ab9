// The update flow: compares the companion tool with the server's copy,
// brings it up to date under the update lock, and starts it in the mode that
// the outcome asks for.
#pragma once

#include <functional>
#include <string>

// The status text while a new copy of the companion tool is downloaded.
extern const char kDownloadingText[];

namespace companion {

// Where the flow finds what it works on: the companion's executable and the
// marker file whose presence switches the update off.
struct UpdatePlaces {
  std::string companion;
  std::string noUpdateMarker;
};

// The flow of SarvoTesterT::UpdateAndStart (GUI thread): it runs the size
// check, the download and the install itself, and hands the status texts to
// `status` (kDownloadingText while it downloads, "" when it is done); errors
// of the settings store reach the caller.
void UpdateAndStart(const UpdatePlaces& places,
                    const std::function<void(const std::string& text)>& status);

}  // namespace companion
