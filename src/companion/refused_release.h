// The release that could not start here: remembered so that no loader of the
// installation fetches it again until the server offers another.
#pragma once

#include <cstdint>
#include <string>

#include "companion/u_SarvoPrep.h"

namespace companion {

// What a release on the server is known by: the length the server declares
// for it (-1 for none) and its validator ("ETag ..." or "Last-Modified ...",
// see TIdHTTP::Validator; empty for none).
struct ReleaseIdentity {
  std::int64_t size = -1;
  std::string validator;
};

// The file beside the companion that keeps the refused release, where the
// loader of every user of the installation folder sees it.
std::string RefusedReleasePath(const std::string& companion);

// Keeps `release` as the refused one of the installation of `companion`.
// The folder's file is written whole or not at all; where it cannot be
// written, the user's own settings keep the size, as older loaders did.
void RememberRefusedRelease(ISarvoSettings& settings, const std::string& companion,
                            const ReleaseIdentity& release);

// True when the server's `release` is the one that could not start here
// before (logged): it is not fetched again. Both validators, where the
// server gives one and the refusal has one, decide; else the sizes do. A
// release that is plainly another (another validator, another length) makes
// the loader forget the refusal; an answer that cannot tell (no length and
// no validator) neither refuses nor forgets. A refused size that an older
// loader kept in the user's settings still counts.
bool ReleaseWasRefused(ISarvoSettings& settings, const std::string& companion,
                       const ReleaseIdentity& release);

}  // namespace companion
