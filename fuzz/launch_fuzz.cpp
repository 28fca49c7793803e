// SPDX-License-Identifier: GPL-3.0-or-later
// "Open With" arguments and corvale:// requests, as a start of the application receives them.
#include "fuzzsupport.h"

#include "launch/launchrequest.h"
#include "launch/referencepath.h"
#include "launch/urlrequests.h"

using namespace corvale;
using corvale::fuzz::require;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    corvale::fuzz::ensureApplication();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QStringList given = corvale::fuzz::argumentsOf(data, size);
    const QStringList arguments =
        LaunchRequest::absoluteArguments(given, QStringLiteral("/nonexistent/working"));
    require(arguments.size() == given.size(), "one absolute argument per argument");

    const LaunchRequest request = LaunchRequest::fromArguments(arguments);
    (void)request.skippedNotice();
    if (request.kind() == LaunchRequest::Kind::file)
        require(request.file().startsWith(QLatin1Char('/')), "the file taken is absolute");
    for (const QUrl& url : request.urls()) {
        if (const auto path = referencePathFromURL(url))
            require(path->startsWith(QLatin1Char('/')), "a URL's reference is absolute");
    }
    for (const QString& argument : given) {
        (void)referencePathFromURL(QUrl(argument, QUrl::StrictMode));
        (void)acceptableReferencePath(argument);
    }
    return 0;
}
