#include "web/ClipAssembler.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "web/ClipDecoder.h"

TClipAssembler::TClipAssembler(TClipPlan iPlan) : fPlan(std::move(iPlan)) {}

TClipAssembler::~TClipAssembler() = default;

size_t TClipAssembler::Read(int16_t* oSamples, size_t iFrames) {
  while (fPiece < fPlan.fPieces.size()) {
    const TClipPiece& piece = fPlan.fPieces[fPiece];
    const int64_t left = piece.fFrames - fPieceDone;
    if (left <= 0) {
      ++fPiece;
      fPieceDone = 0;
      fDecoder.reset();
      fDecoderEnded = false;
      continue;
    }
    const size_t want = static_cast<size_t>(std::min<int64_t>(left, static_cast<int64_t>(iFrames)));
    size_t got = 0;
    if (!fDecoder && !fDecoderEnded) {
      try {
        fDecoder = std::make_unique<TClipDecoder>(piece.fPath, piece.fFirstFrame, fPlan.fRate, fPlan.fChannels);
      } catch (const std::exception&) {
        fDecoderEnded = true;  // removed by the cleanup since it was planned: silence in its place
      }
    }
    if (fDecoder) {
      got = fDecoder->Read(oSamples, want);
      if (got == 0) {
        fDecoder.reset();
        fDecoderEnded = true;
      }
    }
    if (got == 0) {
      got = want;
      std::memset(oSamples, 0, got * fPlan.fChannels * sizeof(int16_t));
    }
    fPieceDone += static_cast<int64_t>(got);
    return got;
  }
  return 0;
}

std::string TClipAssembler::WavHeader(int iRate, int iChannels, int64_t iFrames) {
  const uint64_t data = static_cast<uint64_t>(iFrames) * iChannels * 2;
  const uint32_t dataSize = data > 0xFFFFFFFFull - 36 ? 0xFFFFFFFFu - 36 : static_cast<uint32_t>(data);
  std::string h(44, '\0');
  auto put32 = [&](size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) h[at + i] = static_cast<char>((v >> (8 * i)) & 0xFF);
  };
  auto put16 = [&](size_t at, uint16_t v) {
    h[at] = static_cast<char>(v & 0xFF);
    h[at + 1] = static_cast<char>(v >> 8);
  };
  std::memcpy(&h[0], "RIFF", 4);
  put32(4, 36 + dataSize);
  std::memcpy(&h[8], "WAVEfmt ", 8);
  put32(16, 16);
  put16(20, 1);
  put16(22, static_cast<uint16_t>(iChannels));
  put32(24, static_cast<uint32_t>(iRate));
  put32(28, static_cast<uint32_t>(iRate * iChannels * 2));
  put16(32, static_cast<uint16_t>(iChannels * 2));
  put16(34, 16);
  std::memcpy(&h[36], "data", 4);
  put32(40, dataSize);
  return h;
}
