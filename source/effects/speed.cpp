#include "effects.h"

namespace tolva {

Status Accelerate(RIFF&, double, double, int) { return Status::Failed("not built yet"); }
Status Moderate(RIFF&, double, double, int) { return Status::Failed("not built yet"); }

}  // namespace tolva
