// Fuzzes the reader of a log checkpoint's naming file with arbitrary text. Text it
// accepts must describe a registry it can rebuild: formatting the parsed content and
// parsing that again gives the same text (the format is a fixed point), applying it
// to an empty registry succeeds, and the rebuilt registry formats to the same text.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "engine/core/psf_registry.h"
#include "engine/persistence/checkpoint/naming_checkpoint.h"

using psfstore::core::NamingCheckpoint;
using psfstore::core::PsfRegistry;
using psfstore::core::Status;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  NamingCheckpoint parsed;
  Status status = NamingCheckpoint::Parse(text, parsed);
  if (status != Status::Ok) {
    if (status != Status::Corruption || status.message().empty()) std::abort();
    return 0;
  }
  if (!parsed.libraries.empty()) std::abort();  // a library is never loaded from a file

  std::string formatted;
  if (Status written = parsed.Format(formatted); written != Status::Ok) {
    // A recovered store must be able to write its next checkpoint.
    std::fprintf(stderr, "accepted content cannot be written back: %s\n", written.ToString().c_str());
    std::abort();
  }
  NamingCheckpoint again;
  if (Status reread = NamingCheckpoint::Parse(formatted, again); reread != Status::Ok) {
    std::fprintf(stderr, "written text refused: %s\n", reread.ToString().c_str());
    std::abort();
  }
  std::string reformatted;
  if (again.Format(reformatted) != Status::Ok || reformatted != formatted) std::abort();

  PsfRegistry registry;
  if (parsed.ApplyTo(registry) != Status::Ok) std::abort();
  std::string captured;
  if (NamingCheckpoint::Capture(registry).Format(captured) != Status::Ok || captured != formatted) {
    std::fprintf(stderr, "rebuilt registry differs:\n%s---\n%s", formatted.c_str(), captured.c_str());
    std::abort();
  }
  return 0;
}
