// Parses arbitrary bytes as an outbox file; whatever parses is written back to the same bytes.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "mail/Outbox.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const auto q = ParseQueuedMail(bytes);
    if (!q) return 0;
    const auto again = ParseQueuedMail(FormatQueuedMail(q->Queued, q->Envelope));
    if (!again || again->Envelope.Header != q->Envelope.Header ||
        again->Envelope.Body != q->Envelope.Body ||
        again->Envelope.Recipients != q->Envelope.Recipients)
        __builtin_trap();
    return 0;
}
