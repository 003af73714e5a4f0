#include "core/apply_context.h"

namespace pkx {

uint32_t systemCodePage = 0;

}  // namespace pkx
