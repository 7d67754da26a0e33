#include "effects.h"

namespace tolva {

Status RaiseTone(RIFF&, double, double, int) { return Status::Failed("not built yet"); }
Status ModeratePro(RIFF&, double, double, int) { return Status::Failed("not built yet"); }

}  // namespace tolva
