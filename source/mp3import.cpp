#include "codec.h"

namespace tolva {

Status Converter(int) { return Status::Failed("not built yet"); }

}  // namespace tolva
