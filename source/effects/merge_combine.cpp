#include "effects.h"

namespace tolva {

Status Merge(RIFF&, const RIFF&, double, double, double) { return Status::Failed("not built yet"); }
Status Combine(RIFF&, const RIFF&, double, double, double) { return Status::Failed("not built yet"); }

}  // namespace tolva
