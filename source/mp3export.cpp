#include "codec.h"

namespace tolva {

Status transformer() { return Status::Failed("not built yet"); }

}  // namespace tolva
