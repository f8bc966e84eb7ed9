// Host tests: every outcome box's kind, caption, text and type byte for byte.
#include <gtest/gtest.h>

#include "OutcomeBoxes.h"

namespace {
OutcomeBox plain(const char* caption, const char* text) { return {BoxKind::Plain, caption, text, 0x40}; }

const char* const kNoAck =
    "No Ack message from Acceptor\n\nVerify unit connection to PC\nDownload process may need to be restarted\n"
    "(Forced download method)";
}  // namespace

TEST(OutcomeBoxes, RefusalsAtStart) {
    EXPECT_EQ(noImageBox(), plain("ERROR: Download file is not selected", "Select a valid software."));
    EXPECT_EQ(portInitFailedBox(), (OutcomeBox{BoxKind::String, "DOWNLOAD PROGRAM Ver.1.20",
                                               "Failed in the initialization of the communication port.", 0}));
}

TEST(OutcomeBoxes, SuccessShowsUnitCrcHighByteFirstAndFileCrc) {
    EXPECT_EQ(successBox(0x12, 0x34, 0x8B87),
              (OutcomeBox{BoxKind::Information, "DOWNLOAD PROGRAM Ver.1.20",
                          "The target file was downloaded successfully\nCRC:1234\nFILE-CRC:8B87", 0x40}));
    EXPECT_EQ(successBox(0x00, 0x0A, 0x0000).text, "The target file was downloaded successfully\nCRC:000A\nFILE-CRC:0000");
    EXPECT_EQ(successBox(0xAB, 0xCD, 0xBEEF).text, "The target file was downloaded successfully\nCRC:ABCD\nFILE-CRC:BEEF");
}

TEST(OutcomeBoxes, FlaggedResultStillShowsBothCrcs) {
    EXPECT_EQ(flaggedResultBox(0x12, 0x34, 0x00F0),
              plain("Premature Termination",
                    "Following download status did not returned to disable\n\n"
                    "File may have been completely loaded, check the unit.\n"
                    "If unit does not function, download again.\n\nCRC:1234\nFILE-CRC:00F0"));
}

TEST(OutcomeBoxes, GiveUpPerState) {
    EXPECT_EQ(giveUpBox(DownloadState::AwaitDisable),
              plain("ERROR:Unit is not disabled/connected",
                    "Make sure unit is connected and turned on.\nMake sure unit is not enabled."));
    EXPECT_EQ(giveUpBox(DownloadState::AwaitStartAck), plain("ERROR:Premature Termination", kNoAck));
    EXPECT_EQ(giveUpBox(DownloadState::AwaitErased),
              plain("ERROR:Unit is not disabled/connected",
                    "Make sure unit is not enabled.\nMake sure unit is connected and turned on."));
    EXPECT_EQ(giveUpBox(DownloadState::AwaitFirstBlockAck),
              plain("ERROR:Communication Error.", "Download process may need to be restarted\n(Forced download method)"));
    EXPECT_EQ(giveUpBox(DownloadState::AwaitReady),
              plain("ERROR:Premature Termination",
                    "No Ready/Busy message from Acceptor\n\nVerify a valid software is selected\n"
                    "Verify the unit has Flash ROM\nVerify unit connection to PC\n"
                    "Download process need to be restarted\n(Forced download method)"));
    EXPECT_EQ(giveUpBox(DownloadState::AwaitBlockAck), plain("ERROR:Premature Termination", kNoAck));
    EXPECT_EQ(giveUpBox(DownloadState::AwaitLastBlockAck), plain("ERROR:Premature Termination", kNoAck));
    EXPECT_EQ(giveUpBox(DownloadState::AwaitEndReady),
              plain("ERROR:Communication Error", "Download process may need to be restarted\n(Forced download method)"));
    EXPECT_EQ(giveUpBox(DownloadState::AwaitEndAck),
              plain("ERROR:No Ack from Acceptor",
                    "Verify unit connection to PC\nDownload process may need to be restarted\n(Forced download method)"));
}
