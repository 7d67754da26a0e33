#include "effects.h"

namespace tolva {

Status CutChannel(RIFF&, double, double, int) { return Status::Failed("not built yet"); }

}  // namespace tolva
