#include "effects.h"

namespace tolva {

Status Reverse(RIFF&, double, double) { return Status::Failed("not built yet"); }
Status CutOff(RIFF&, double, double) { return Status::Failed("not built yet"); }

}  // namespace tolva
