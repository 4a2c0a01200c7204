#include "hostlink/LinkHealth.h"

#include <algorithm>
#include <charconv>

#include "support/JsonLine.h"

namespace {

double Milliseconds(int64_t Microseconds) {
  return static_cast<double>(Microseconds) / 1000.0;
}

// Milliseconds with one decimal, whatever the locale.
std::string MsText(int64_t Microseconds) {
  char Text[32];
  const auto End = std::to_chars(Text, Text + sizeof Text, Milliseconds(Microseconds),
                                 std::chars_format::fixed, 1);
  return std::string(Text, End.ptr);
}

}  // namespace

void tLinkHealth::AddRoundTrip(std::chrono::microseconds RoundTrip) {
  const int64_t Us = std::max<int64_t>(RoundTrip.count(), 0);
  RoundTripMinUs = RoundTrips == 0 ? Us : std::min(RoundTripMinUs, Us);
  RoundTripMaxUs = RoundTrips == 0 ? Us : std::max(RoundTripMaxUs, Us);
  RoundTripLastUs = Us;
  RoundTripSumUs += Us;
  ++RoundTrips;
}

int64_t tLinkHealth::RoundTripMeanUs() const {
  return RoundTrips == 0 ? 0 : RoundTripSumUs / RoundTrips;
}

void tLinkHealth::AddAnswerGap(std::chrono::microseconds Gap) {
  const int64_t Us = std::max<int64_t>(Gap.count(), 0);
  AnswerGapMinUs = AnswerGaps == 0 ? Us : std::min(AnswerGapMinUs, Us);
  AnswerGapMaxUs = AnswerGaps == 0 ? Us : std::max(AnswerGapMaxUs, Us);
  AnswerGapSumUs += Us;
  ++AnswerGaps;
}

int64_t tLinkHealth::AnswerGapMeanUs() const {
  return AnswerGaps == 0 ? 0 : AnswerGapSumUs / AnswerGaps;
}

tLinkHealth& tLinkHealth::operator+=(const tLinkHealth& Other) {
  if (Other.RoundTrips > 0) {
    RoundTripMinUs =
        RoundTrips == 0 ? Other.RoundTripMinUs : std::min(RoundTripMinUs, Other.RoundTripMinUs);
    RoundTripMaxUs =
        RoundTrips == 0 ? Other.RoundTripMaxUs : std::max(RoundTripMaxUs, Other.RoundTripMaxUs);
    RoundTripLastUs = Other.RoundTripLastUs;
    RoundTripSumUs += Other.RoundTripSumUs;
    RoundTrips += Other.RoundTrips;
  }
  KeepAlivesUnanswered += Other.KeepAlivesUnanswered;
  FramesDamagedLength += Other.FramesDamagedLength;
  FramesDamagedChecksum += Other.FramesDamagedChecksum;
  BytesSent += Other.BytesSent;
  BytesReceived += Other.BytesReceived;
  HangUps += Other.HangUps;
  if (Other.AnswerGaps > 0) {
    AnswerGapMinUs =
        AnswerGaps == 0 ? Other.AnswerGapMinUs : std::min(AnswerGapMinUs, Other.AnswerGapMinUs);
    AnswerGapMaxUs =
        AnswerGaps == 0 ? Other.AnswerGapMaxUs : std::max(AnswerGapMaxUs, Other.AnswerGapMaxUs);
    AnswerGapSumUs += Other.AnswerGapSumUs;
    AnswerGaps += Other.AnswerGaps;
  }
  return *this;
}

std::string LinkHealthJson(const tLinkHealth& Health) {
  tJsonObject RoundTrip;
  const auto Add = [&](const char* Name, int64_t Us) {
    if (Health.RoundTrips == 0)
      RoundTrip.Null(Name);
    else
      RoundTrip.Number(Name, Milliseconds(Us), 3);
  };
  Add("Last", Health.RoundTripLastUs);
  Add("Min", Health.RoundTripMinUs);
  Add("Mean", Health.RoundTripMeanUs());
  Add("Max", Health.RoundTripMaxUs);
  tJsonObject Gap;
  const auto AddGap = [&](const char* Name, int64_t Us) {
    if (Health.AnswerGaps == 0)
      Gap.Null(Name);
    else
      Gap.Number(Name, Milliseconds(Us), 3);
  };
  AddGap("Min", Health.AnswerGapMinUs);
  AddGap("Mean", Health.AnswerGapMeanUs());
  AddGap("Max", Health.AnswerGapMaxUs);
  tJsonObject Damaged;
  Damaged.UInt("Length", Health.FramesDamagedLength).UInt("Checksum", Health.FramesDamagedChecksum);
  return tJsonObject()
      .Object("RoundTripMs", RoundTrip)
      .UInt("RoundTrips", Health.RoundTrips)
      .UInt("KeepAlivesUnanswered", Health.KeepAlivesUnanswered)
      .Object("FramesDamaged", Damaged)
      .UInt("BytesSent", Health.BytesSent)
      .UInt("BytesReceived", Health.BytesReceived)
      .UInt("HangUps", Health.HangUps)
      .Object("AnswerGapMs", Gap)
      .UInt("AnswerGaps", Health.AnswerGaps)
      .Text();
}

std::string LinkHealthText(const tLinkHealth& Health) {
  const std::string RoundTrip = Health.RoundTrips == 0
                                    ? "round trip none yet"
                                    : "round trip " + MsText(Health.RoundTripLastUs) + " ms (min " +
                                          MsText(Health.RoundTripMinUs) + ", mean " +
                                          MsText(Health.RoundTripMeanUs()) + ", max " +
                                          MsText(Health.RoundTripMaxUs) + ")";
  return RoundTrip + ", " + std::to_string(Health.KeepAlivesUnanswered) +
         " unanswered, damaged frames " + std::to_string(Health.FramesDamagedLength) + " length " +
         std::to_string(Health.FramesDamagedChecksum) + " checksum, " +
         std::to_string(Health.BytesSent) + " bytes out " + std::to_string(Health.BytesReceived) +
         " in, " + std::to_string(Health.HangUps) + " hang-ups" +
         (Health.AnswerGaps == 0
              ? std::string()
              : ", packet answers " + MsText(Health.AnswerGapMeanUs()) + " ms (min " +
                    MsText(Health.AnswerGapMinUs) + ", max " + MsText(Health.AnswerGapMaxUs) +
                    ") over " + std::to_string(Health.AnswerGaps));
}
