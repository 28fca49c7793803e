// SPDX-License-Identifier: GPL-3.0-or-later
// The body of a message a later start (or anything else that reaches the socket) sends to the
// running instance.
#include "fuzzsupport.h"

#include "launch/singleinstance.h"

using namespace corvale;
using corvale::fuzz::require;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    corvale::fuzz::ensureApplication();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QByteArray body(reinterpret_cast<const char*>(data), qsizetype(size));
    const std::optional<QStringList> arguments = SingleInstance::decodeMessageBody(body);
    if (!arguments)
        return 0;
    // What was understood, sent again, reads the same.
    const QByteArray again = SingleInstance::encodeMessage(*arguments).mid(4);
    require(SingleInstance::decodeMessageBody(again) == arguments,
            "a message reads as it was sent");
    return 0;
}
