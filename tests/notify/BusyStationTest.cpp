// Mail never holds up storing: fifty owners' statistics queued while the mail server accepts and
// never answers, lines arriving ten a second all along; every line is stored, and every mail is
// delivered once the server answers. (How long each line waited is measured by mail_storing_bench.)
#include <gtest/gtest.h>

#include "tests/notify/BusyStation.h"

namespace {

TEST(BusyStationTest, EveryLineIsStoredAndEveryMailDeliveredOnceTheServerAnswers) {
    busy::TOptions options;
    options.Seconds = 8;
    const busy::TResult r = busy::Run(options);
    ASSERT_EQ(r.Failure, "");
    EXPECT_EQ(r.Stored, r.Lines);
    EXPECT_EQ(static_cast<int>(r.DelayMs.size()), r.Lines);
    EXPECT_EQ(r.MailsQueued, options.Owners + 1);  // the statistics and the daily message
    EXPECT_EQ(r.MailsDelivered, r.MailsQueued);
    EXPECT_GE(r.SilentAttempts, 1);  // the sender did meet the silent server
}

}  // namespace
