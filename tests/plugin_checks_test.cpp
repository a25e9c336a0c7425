// The host capability checks with their alerts, and the text routines under them.
#include <cstring>

#include "plugin/checks.h"
#include "plugin/text.h"
#include "plugin_test_support.h"
#include "tests/host/document_convert.h"

namespace qvr::test {
namespace {

using qvrhost::TestHost;

const std::string TOO_OLD_25 = "This plug-in requires Adobe Photoshop\xAE 2.5 or later functionality.";
const std::string TOO_OLD_30 = "This plug-in requires Adobe Photoshop\xAE 3.0 or later functionality.";
const std::string TOO_NEW = "This plug-in is incompatible with this version of the host program.";

struct CapabilityCase {
    const char* what;
    void (*change)(TestHost&);
    std::string message;  // "" when the host is capable
};

const CapabilityCase CASES[] = {
    {"complete host", [](TestHost&) {}, ""},
    {"no buffer suite", [](TestHost& h) { h.offerBufferSuite = false; }, TOO_OLD_25},
    {"buffer suite too new", [](TestHost& h) { h.bufferSuite.bufferProcsVersion = 3; }, TOO_NEW},
    {"buffer suite too old", [](TestHost& h) { h.bufferSuite.bufferProcsVersion = -1; }, TOO_OLD_25},
    {"buffer suite short", [](TestHost& h) { h.bufferSuite.numBufferProcs = 4; }, TOO_OLD_25},
    {"no spaceProc", [](TestHost& h) { h.bufferSuite.spaceProc = nullptr; }, TOO_OLD_25},
    {"no advanceState", [](TestHost& h) { h.offerAdvanceState = false; }, TOO_OLD_30},
    {"no handle suite", [](TestHost& h) { h.offerHandleSuite = false; }, TOO_OLD_30},
    {"handle suite short", [](TestHost& h) { h.handleSuite.numHandleProcs = 6; }, TOO_OLD_30},
    {"handle suite too new", [](TestHost& h) { h.handleSuite.handleProcsVersion = 2; }, TOO_NEW},
    {"no buffer suite, no advanceState",
     [](TestHost& h) {
         h.offerBufferSuite = false;
         h.offerAdvanceState = false;
     },
     TOO_OLD_25},
};

TEST(Capabilities, EachGatedSelectorAlertsOnceAndCancels) {
    for (const CapabilityCase& c : CASES) {
        for (int16_t selector : {formatSelectorReadStart, formatSelectorOptionsStart, formatSelectorEstimateStart,
                                 formatSelectorWriteStart}) {
            BoxCapture capture;
            TestHost host(moduleEntry());
            host.document() = qvrhost::documentFromRaster(sampleImage(4, 4, 24));
            c.change(host);
            host.record().imageMode = 77;  // a refused call leaves the record alone
            host.setDataFork(qvrhost::openHostFile(samplePath("tiles-rgb.qvr"), false));
            const int16_t result = host.call(selector);
            qvrhost::closeHostFile(host.record().dataFork);
            releaseFallbackGlobals(host);
            const std::string where = std::string(c.what) + " at " + qvrhost::selectorName(selector);
            if (c.message.empty()) {
                EXPECT_TRUE(capture.boxes.empty()) << where;
                continue;
            }
            EXPECT_EQ(result, userCanceledErr) << where;
            EXPECT_EQ(host.record().imageMode, 77) << where;
            ASSERT_EQ(capture.boxes.size(), 1u) << where;
            EXPECT_EQ(capture.boxes[0].text, c.message) << where;
            EXPECT_FALSE(capture.boxes[0].hasCaption) << where;
            EXPECT_EQ(capture.boxes[0].owner, nullptr) << where;
            EXPECT_EQ(capture.boxes[0].type, 0x30u) << where;
        }
    }
}

TEST(Capabilities, UngatedSelectorsNeverAlert) {
    BoxCapture capture;
    TestHost host(moduleEntry());
    host.offerBufferSuite = false;
    host.offerAdvanceState = false;
    EXPECT_EQ(host.filterFile(samplePath("tiles-rgb.qvr")), noErr);
    EXPECT_EQ(host.call(formatSelectorReadPrepare), noErr);
    EXPECT_TRUE(capture.boxes.empty());
}

TEST(Capabilities, AnEarlierResultIsKept) {
    int16_t result = eofErr;
    EXPECT_FALSE(refuseUnlessCapable(&result, false));
    EXPECT_EQ(result, eofErr);
    result = noErr;
    EXPECT_FALSE(refuseUnlessCapable(&result, false));
    EXPECT_EQ(result, userCanceledErr);
    EXPECT_TRUE(refuseUnlessCapable(&result, true));
}

TEST(WarnUser, AMissingTemplateShowsAnEmptyBox) {
    BoxCapture capture;
    warnUser(nullptr, 4242, nullptr, nullptr);
    ASSERT_EQ(capture.boxes.size(), 1u);
    EXPECT_EQ(capture.boxes[0].text, "");
}

// ---- text routines ----

std::string text(const uint8_t* pstr) { return std::string(reinterpret_cast<const char*>(pstr + 1), pstr[0]); }

std::string decimal(double value, int16_t decimals) {
    uint8_t out[PSTR_BYTES];
    pstrFromDecimal(out, value, decimals);
    EXPECT_EQ(out[out[0] + 1], 0);
    return text(out);
}

TEST(Text, DecimalsRoundAndTrim) {
    EXPECT_EQ(decimal(2.5, 1), "2.5");
    EXPECT_EQ(decimal(3.0, 1), "3.0");
    EXPECT_EQ(decimal(2.46, 1), "2.5");
    EXPECT_EQ(decimal(2.44, 1), "2.4");
    EXPECT_EQ(decimal(12.0, 1), "12.0");
    EXPECT_EQ(decimal(1.25, 2), "1.25");
    EXPECT_EQ(decimal(7.0, 2), "7.0");
    EXPECT_EQ(decimal(-2.5, 1), "-2.5");
    EXPECT_EQ(powerOf(10, 0), 1.0);
    EXPECT_EQ(powerOf(10, 3), 1000.0);
}

TEST(Text, LongsAndAppendLimits) {
    uint8_t s[PSTR_BYTES];
    pstrFromLong(-2147483647 - 1, s);
    EXPECT_EQ(text(s), "-2147483648");

    std::memset(s, 'a', sizeof s);
    s[0] = 250;
    const uint8_t ten[] = "0123456789";
    pstrAppend(s, ten, 0, 10);
    EXPECT_EQ(s[0], 254);
    EXPECT_EQ(s[255], 0);
    EXPECT_EQ(s[254], '3');

    pstrClear(s);
    EXPECT_EQ(s[0], 0);
    EXPECT_EQ(s[1], 0);
    pstrAppend(s, ten, 0, 0);
    pstrAppend(s, ten, 0, -3);
    EXPECT_EQ(s[0], 0);
}

std::string substituted(const std::string& message, const char* one, const char* two = nullptr) {
    uint8_t m[PSTR_BYTES], t1[PSTR_BYTES], t2[PSTR_BYTES];
    pstrClear(m);
    pstrAppend(m, reinterpret_cast<const uint8_t*>(message.data()), 0, static_cast<int16_t>(message.size()));
    auto make = [](uint8_t* t, const char* s) {
        pstrClear(t);
        pstrAppend(t, reinterpret_cast<const uint8_t*>(s), 0, static_cast<int16_t>(std::strlen(s)));
        return t;
    };
    substituteMarkers(m, nullptr, one ? make(t1, one) : nullptr, two ? make(t2, two) : nullptr);
    return text(m);
}

TEST(Text, MarkerSubstitution) {
    const std::string tooOld = "This plug-in requires Adobe Photoshop\xAE ^1 or later functionality.";
    EXPECT_EQ(substituted(tooOld, "2.5"), TOO_OLD_25);
    EXPECT_EQ(substituted(tooOld, ""), "This plug-in requires Adobe Photoshop\xAE  or later functionality.");
    EXPECT_EQ(substituted(TOO_NEW, "2.5"), TOO_NEW);
    EXPECT_EQ(substituted("a^^1b", "X"), "a^Xb");  // the second caret makes the marker
    EXPECT_EQ(substituted("x^3 ^0 ^2.", "1", "two"), "x^3  two.");
    // After an empty replacement the character that followed the digit is passed over.
    EXPECT_EQ(substituted("^1^2", "", "Z"), "^2");
    // Scanning resumes inside an inserted text at its second character.
    EXPECT_EQ(substituted("^1", "^^2", "Q"), "^Q");
}

}  // namespace
}  // namespace qvr::test
