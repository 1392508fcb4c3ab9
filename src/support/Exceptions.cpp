#include "support/Exceptions.h"

#include <new>

ExceptionDescription Describe(const std::exception& e) {
  if (const auto* own = dynamic_cast<const Exception*>(&e)) {
    return {own->ClassName(), own->Message(), true};
  }
  if (dynamic_cast<const std::bad_alloc*>(&e) != nullptr) {
    return {"EOutOfMemory", "Out of memory", false};
  }
  return {"Exception", e.what(), false};
}
