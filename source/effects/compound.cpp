#include "effects.h"

namespace tolva {

Status Repeat(RIFF&, double, double, double) { return Status::Failed("not built yet"); }
Status Transfer(RIFF&, double, double, double) { return Status::Failed("not built yet"); }
Status EnvironmentEffect(RIFF&, double, double, double) { return Status::Failed("not built yet"); }

}  // namespace tolva
