// Linux: no low-memory signal of the system's own; the option is refused
// before a run, so this is reached only by mistake, and says so.
#include "headless/system/low_memory_signal.h"

struct LowMemorySignal::Handle {};

LowMemorySignal::LowMemorySignal()
    : failure_("Linux gives no low-memory signal; use --stop-if-room-below SIZE") {}

LowMemorySignal::~LowMemorySignal() = default;

std::optional<bool> LowMemorySignal::low() { return std::nullopt; }
