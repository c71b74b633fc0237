#include "server/engine_errors.h"

#include <new>
#include <stdexcept>
#include <string>

namespace quillmark {
namespace server {

void ThrowIfFailed(const psfstore::core::Status& status, std::string_view what) {
  if (status.ok()) return;
  if (status.IsBusy()) throw std::runtime_error(kNotAtRestMessage);
  if (status.IsRefused()) throw std::invalid_argument(std::string{what} + ": " + std::string{status.message()});
  if (status == psfstore::core::Status::OutOfMemory) throw std::bad_alloc();
  throw std::runtime_error(std::string{what} + ": " + status.ToString());
}

}  // namespace server
}  // namespace quillmark
