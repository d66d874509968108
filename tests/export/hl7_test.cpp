#include <gtest/gtest.h>

#include <string>

#include "export/hl7_message.h"
#include "export/hl7_mllp.h"

TEST(Hl7, FramesSurviveAnySplitAndNoiseBetweenThem) {
    std::string stream = "garbage";
    hl7::AppendMllpFrame(stream, "MSH|a\rMSA|AA|1");
    stream += "\n";
    hl7::AppendMllpFrame(stream, "MSH|b");
    stream += std::string("\x0bMSH|cut") + "\x0b";  // a frame cut by the next one
    stream += std::string(100, 'x') + "\x1c\r";     // oversized at a limit of 64
    hl7::AppendMllpFrame(stream, "MSH|c");
    for (size_t chunk : {size_t{1}, size_t{3}, stream.size()}) {
        hl7::MllpDecoder d(64);
        std::string got, m;
        for (size_t i = 0; i < stream.size(); i += chunk) {
            d.Feed(stream.data() + i, std::min(chunk, stream.size() - i));
            while (d.Next(&m)) got += m + ";";
        }
        EXPECT_EQ(got, "MSH|a\rMSA|AA|1;MSH|b;MSH|c;") << chunk;
        EXPECT_EQ(d.Oversize(), 1u);
        EXPECT_EQ(d.Skipped(), 7u + 1u + 7u);
        EXPECT_FALSE(d.InFrame());
    }
}

TEST(Hl7, AcknowledgementsSayWhetherToSendAgain) {
    hl7::Ack a;
    std::string e;
    ASSERT_TRUE(hl7::ParseAck("MSH|^~\\&|E||||||ACK^R01|9|P|2.6\rMSA|AA|velt-7", &a, &e));
    EXPECT_EQ(a.kind, hl7::Ack::Kind::kAccepted);
    EXPECT_EQ(a.control_id, "velt-7");
    ASSERT_TRUE(hl7::ParseAck(
        "MSH|^~\\&|E\rMSA|AE|velt-8\rERR||OBX^3|207^Application internal error^HL70357||||"
        "|Unknown bed \\F\\ 2",
        &a, &e));
    EXPECT_EQ(a.kind, hl7::Ack::Kind::kError);
    EXPECT_EQ(a.text, "Unknown bed | 2");
    ASSERT_TRUE(hl7::ParseAck("MSH|^~\\&|E\nMSA|CR|velt-9|busy", &a, &e));
    EXPECT_EQ(a.kind, hl7::Ack::Kind::kRejected);
    EXPECT_EQ(a.text, "busy");
    EXPECT_FALSE(hl7::ParseAck("MSH|^~\\&|E\rMSA|XX|1", &a, &e));
    EXPECT_EQ(e, "unknown acknowledgement code \"XX\"");
    EXPECT_FALSE(hl7::ParseAck("MSH|^~\\&|E\rPID|1", &a, &e));
    EXPECT_EQ(e, "no MSA segment");
}
