#include "media/plan/moov_writer.h"

#include "media/boxes/box_reader.h"

namespace kelvatta {

ErrorOr<void> reserveMoov(Bytes& out, const MoovWriter& writer, uint64_t more)
{
    const uint64_t bound = writer.sizeBound();
    // Sizes of what is held in memory (a widened table at most doubles its bytes): no overflow.
    return reserveBytes(out, out.size() + bound + more, plan_texts::writingNewMoov(bound));
}

}  // namespace kelvatta
