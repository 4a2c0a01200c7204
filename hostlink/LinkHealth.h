// How well the serial link to one card has been doing: the keep-alive's round trip, the
// keep-alives that went unanswered, the frames thrown away as damaged, the bytes each way
// and the hang-ups. The host object counts them as they happen; the card session adds up
// the counts of every host object it had, so a link that was reopened (after a restart or a
// hang-up) keeps its history; the service record carries them for each update.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

struct tLinkHealth {
  // Keep-alive replies timed, and their round trip (sent until the reply was handled), in
  // microseconds.
  uint32_t RoundTrips = 0;
  int64_t RoundTripLastUs = 0;
  int64_t RoundTripMinUs = 0;
  int64_t RoundTripMaxUs = 0;
  int64_t RoundTripSumUs = 0;
  // Keep-alives that had no reply by the time the next one went out.
  uint32_t KeepAlivesUnanswered = 0;
  // Frames thrown away: a count byte no frame can have (or fewer bytes than it counted), a
  // wrong checksum.
  uint32_t FramesDamagedLength = 0;
  uint32_t FramesDamagedChecksum = 0;
  // Bytes handed to the port, and bytes taken from it (frames and discarded bytes alike).
  uint64_t BytesSent = 0;
  uint64_t BytesReceived = 0;
  // Times the port hung up under the link (an unplugged adapter, a card that left).
  uint32_t HangUps = 0;
  // A file update's packets answered, and the time from each packet's sending until its
  // answer was handled, in microseconds. A USB-serial adapter that holds received bytes for
  // its latency timer shows here: gaps of about that timer where the card answers at once.
  uint32_t AnswerGaps = 0;
  int64_t AnswerGapMinUs = 0;
  int64_t AnswerGapMaxUs = 0;
  int64_t AnswerGapSumUs = 0;

  void AddRoundTrip(std::chrono::microseconds RoundTrip);
  // The mean round trip in microseconds; 0 before the first.
  int64_t RoundTripMeanUs() const;
  void AddAnswerGap(std::chrono::microseconds Gap);
  // The mean answer gap in microseconds; 0 before the first.
  int64_t AnswerGapMeanUs() const;
  // Adds Other's counts (a later link of the same card): its last round trip becomes the
  // last one if it has any.
  tLinkHealth& operator+=(const tLinkHealth& Other);
  bool operator==(const tLinkHealth&) const = default;
};

// The counts as one JSON object on one line (round trips in milliseconds; the round trip
// fields are null before the first keep-alive reply):
// {"RoundTripMs":{"Last":1.234,"Min":..,"Mean":..,"Max":..},"RoundTrips":5,
//  "KeepAlivesUnanswered":0,"FramesDamaged":{"Length":0,"Checksum":0},"BytesSent":120,
//  "BytesReceived":640,"HangUps":0,"AnswerGapMs":{"Min":..,"Mean":..,"Max":..},"AnswerGaps":0}
// (the answer gap fields are null before a file update's first answer)
std::string LinkHealthJson(const tLinkHealth& Health);

// The counts for an operator, on one line: "round trip 1.2 ms (min 0.9, mean 1.5, max 3.4),
// 0 unanswered, damaged frames 0 length 0 checksum, 120 bytes out 640 in, 0 hang-ups", and
// after a file update's packets ", packet answers 2.1 ms (min 1.8, max 17.0) over 512".
std::string LinkHealthText(const tLinkHealth& Health);
