// What a tile says and paints for a slot's state, the meter scale, and the
// bar colours as they land in the pixels.
#include "ui/SlotTile.h"

#include <gtest/gtest.h>

#include <QImage>
#include <QPainter>

#include <cmath>

#include "UiTestSupport.h"
#include "ui/LevelMeter.h"

namespace {
constexpr uint64_t kHour = 3600 * 1000;
constexpr uint64_t kNow = 1000 * kHour;

QStringList Texts(const TTileLayout& iLayout) {
  QStringList texts;
  for (const auto& t : iLayout.fTexts) texts << t.fText;
  return texts;
}

const TTileText* At(const TTileLayout& iLayout, int iY) {
  for (const auto& t : iLayout.fTexts)
    if (t.fY == iY) return &t;
  return nullptr;
}

TTileData Recording() {
  TTileData d;
  d.fName = "Studio A";
  d.fRecordSource = rsSoundcard;
  d.fHasDevice = true;
  d.fDeviceName = "JACK: system";
  d.fHasEncoder = true;
  d.fEnabled = true;
  d.fAudioFormat = sfMP3;
  d.fCurrentFilename = "2026/12/11/Studio A 1600.mp3";
  d.fRecordStartTickCount = kNow - 25 * kHour;
  return d;
}
}  // namespace

TEST(SlotTile, LinesAndStateFollowTheSlot) {
  struct Case {
    const char* fWhat;
    std::function<void(TTileData&)> fSetUp;
    QStringList fTexts;
    TTileState fState;
  };
  const std::vector<Case> cases = {
      {"25 hours of recording shows the time of day", [](TTileData&) {},
       {"Studio A", "JACK: system", "2026/12/11/Studio A 1600.mp3", "01:00:00"}, tsOK},
      {"silence time after the elapsed time when silence is watched",
       [](TTileData& d) {
         d.fSilenceThreshold = -40;
         d.fSilenceMilliseconds = 65000;
       },
       {"Studio A", "JACK: system", "2026/12/11/Studio A 1600.mp3", "01:00:00 (00:01:05)"}, tsOK},
      {"disabled source, streaming connected",
       [](TTileData& d) {
         d.fRecordSource = rsDisabled;
         d.fStreamingEnabled = true;
         d.fStreamingStatus = ssConnected;
       },
       {"Studio A", "Disabled", "Stream online"}, tsDisabled},
      {"input but stopped",
       [](TTileData& d) {
         d.fHasEncoder = false;
         d.fEnabled = false;
       },
       {"Studio A", "JACK: system", "Encoder stopped"}, tsDisabled},
      {"no input device",
       [](TTileData& d) {
         d.fHasDevice = false;
         d.fErrorMessage = "Device not found";
       },
       {"Studio A", "Error: Device not found"}, tsError},
      {"stream not open shows its status",
       [](TTileData& d) {
         d.fRecordSource = rsStream;
         d.fStreamStatus = "Connecting...";
       },
       {"Studio A", "Connecting..."}, tsError},
      {"stream title, else its URL",
       [](TTileData& d) {
         d.fRecordSource = rsStream;
         d.fHasStreamChannel = true;
         d.fCurrentStreamURL = "http://radio/live";
         d.fHasEncoder = false;
         d.fStreamingOnly = true;
       },
       {"Studio A", "http://radio/live", "No recording"}, tsOK},
      {"encoder that should run but does not",
       [](TTileData& d) {
         d.fHasEncoder = false;
         d.fErrorMessage = "lame not found";
       },
       {"Studio A", "JACK: system", "Encoder error: lame not found"}, tsError},
      {"26 hours of streaming with a message",
       [](TTileData& d) {
         d.fStreamingEnabled = true;
         d.fStreamingStatus = ssConnected;
         d.fStreamingMessage = "128 kbit/s";
         d.fStreamingActiveSince = static_cast<int64_t>(kNow - 26 * kHour);
       },
       {"Studio A", "JACK: system", "2026/12/11/Studio A 1600.mp3", "01:00:00",
        "Stream online - 128 kbit/s [1d 02:00:00]"},
       tsOK},
      {"streaming that connects is an error until it does",
       [](TTileData& d) {
         d.fStreamingEnabled = true;
         d.fStreamingStatus = ssConnecting;
       },
       {"Studio A", "JACK: system", "2026/12/11/Studio A 1600.mp3", "01:00:00", "Stream connecting..."}, tsError},
      {"streaming error",
       [](TTileData& d) {
         d.fStreamingEnabled = true;
         d.fStreamingStatus = ssError;
         d.fStreamingActiveSince = static_cast<int64_t>(kNow - 5000);
       },
       {"Studio A", "JACK: system", "2026/12/11/Studio A 1600.mp3", "01:00:00", "Stream error [00:00:05]"}, tsError},
  };
  for (const Case& c : cases) {
    TTileData d = Recording();
    c.fSetUp(d);
    const TTileLayout layout = ComposeTile(d, kNow, false);
    EXPECT_EQ(Texts(layout), c.fTexts) << c.fWhat;
    EXPECT_EQ(layout.fState, c.fState) << c.fWhat;
  }
}

TEST(SlotTile, FontsColoursAndPlaces) {
  TTileData d = Recording();
  d.fStreamingEnabled = true;
  d.fStreamingStatus = ssConnected;
  TTileLayout layout = ComposeTile(d, kNow, false);
  ASSERT_TRUE(At(layout, 4) && At(layout, 20) && At(layout, 38) && At(layout, 50) && At(layout, 68));
  EXPECT_TRUE(At(layout, 4)->fBold);
  EXPECT_EQ(At(layout, 4)->fColor, QColor(0, 0, 0));
  EXPECT_EQ(At(layout, 20)->fColor, QColor(128, 128, 128));
  EXPECT_EQ(At(layout, 38)->fPointSize, 7);
  EXPECT_EQ(At(layout, 50)->fPointSize, 10);
  // Line 5 keeps the font of line 4.
  EXPECT_EQ(At(layout, 68)->fColor, QColor(0, 0, 0));
  EXPECT_FALSE(At(layout, 68)->fBold);

  d.fHasDevice = false;
  d.fErrorMessage = "gone";
  layout = ComposeTile(d, kNow, false);
  EXPECT_EQ(At(layout, 20)->fColor, QColor(255, 0, 0));
  EXPECT_EQ(At(layout, 68)->fColor, QColor(255, 0, 0)) << "line 5 inherits the red of the error";

  layout = ComposeTile(d, kNow, true);
  for (const auto& t : layout.fTexts) EXPECT_EQ(t.fColor, QColor(Qt::white)) << t.fText.toStdString();
}

TEST(LevelMeter, ScaleMapsDecibelsToHeightFractions) {
  struct Case {
    double fDB;  // NAN: level 0
    double fFraction;
  };
  const Case cases[] = {{NAN, 0},        {-250, 0},        {-200, 0},   {-130, 0.015}, {-60, 0.03},
                        {-50, 0.09},     {-40, 0.15},      {-35, 0.225}, {-30, 0.3},    {-25, 0.4},
                        {-20, 0.5},      {-10, 0.75},      {0, 1.0},    {6, 1.15}};
  for (const Case& c : cases) {
    const double level = std::isnan(c.fDB) ? 0.0 : std::pow(10.0, c.fDB / 20);
    EXPECT_NEAR(LevelToMeterPosition(level), c.fFraction, 1e-9) << c.fDB << " dB";
  }
  EXPECT_EQ(LevelToDB(0), -999);
  EXPECT_NEAR(LevelFactorForInterval(100), 0.8577, 1e-4);
  EXPECT_EQ(NominalReference(-100), 0);
  EXPECT_EQ(NominalReference(-120), 0);
  EXPECT_NEAR(NominalReference(-6), 0.501, 1e-3);
}

TEST(LevelMeter, DisplayLevelFallsByTheFactorUnlessAPeakIsHigher) {
  TTileData d;
  d.fCurrentLevelLeft = 1.0f;
  d.fLevelLeft = 0.0f;
  d.fCurrentLevelRight = 0.2f;
  d.fLevelRight = 0.9f;
  float left = 0, right = 0;
  DecayLevels(d, LevelFactorForInterval(100), left, right);
  EXPECT_NEAR(left, 0.8577, 1e-4);
  EXPECT_FLOAT_EQ(right, 0.9f);
  // Fifteen repaints (1.5 s) take a full-scale display down by 20 dB.
  d.fLevelLeft = 0;
  d.fCurrentLevelLeft = 1.0f;
  for (int i = 0; i < 15; ++i) {
    DecayLevels(d, LevelFactorForInterval(100), left, right);
    d.fCurrentLevelLeft = left;
  }
  EXPECT_NEAR(LevelToDB(left), -20.0, 0.01);
}

TEST(LevelMeter, BarColoursAndNominalLineInThePixels) {
  App();
  // Meter x 10..25, y 10..89 (16 x 80 as on a tile).
  const QRect meter(10, 10, 16, 80);
  const int x2 = 26, y2 = 90;
  struct Case {
    const char* fWhat;
    double fReference;
    double fLevel;
    QColor fBar;     // at the meter's middle, just above the bottom
    bool fFull;      // the bar reaches the top inside the frame
    int fLineY;      // -1: no grey line
  };
  const QColor white(Qt::white), red(255, 0, 0), orange(255, 102, 0), green(0, 255, 0);
  const Case cases[] = {
      {"1.5 is a full red bar", NominalReference(0), 1.5, red, true, -1},
      {"0 is an empty bar", NominalReference(0), 0.0, white, false, -1},
      {"nominal -100: any level is orange, line below the meter", NominalReference(-100), 0.001, orange, false, y2 + 1},
      {"below the nominal level: green", NominalReference(-6), 0.1, green, false,
       int(std::trunc(y2 + LevelToMeterPosition(NominalReference(-6)) * (10 - y2))) + 1},
      {"above the nominal level: orange", NominalReference(-6), 0.9, orange, false,
       int(std::trunc(y2 + LevelToMeterPosition(NominalReference(-6)) * (10 - y2))) + 1},
  };
  for (const Case& c : cases) {
    QImage image(60, 110, QImage::Format_RGB32);
    image.fill(QColor(1, 2, 3));
    {
      QPainter p(&image);
      DrawLevelBar(p, meter, c.fReference, c.fLevel);
    }
    EXPECT_EQ(image.pixelColor(10, 10), QColor(128, 128, 128)) << c.fWhat << ": frame";
    EXPECT_EQ(image.pixelColor(x2, 50), QColor(1, 2, 3)) << c.fWhat << ": nothing right of the meter";
    EXPECT_EQ(image.pixelColor(18, y2 - 2), c.fBar) << c.fWhat;
    EXPECT_EQ(image.pixelColor(18, 11), c.fFull ? c.fBar : white) << c.fWhat << ": top";
    if (c.fLineY >= 0) {
      EXPECT_EQ(image.pixelColor(12, c.fLineY), QColor(128, 128, 128)) << c.fWhat << ": nominal line";
    } else {
      for (int y = 11; y < y2 - 1; ++y)
        ASSERT_NE(image.pixelColor(12, y), QColor(128, 128, 128)) << c.fWhat << ": no line at " << y;
    }
  }
}
