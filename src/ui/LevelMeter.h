#pragma once
// The vertical level meters of a slot tile: the dB scale they use, the bar
// with its nominal-level line, and how fast a displayed level falls back.
class QPainter;
class QRect;

// -999 for 0, else 20 * log10(x).
double LevelToDB(double iLevel);
// Height fraction of a linear level on the meter's piecewise-linear dB scale:
// 0 at -200 dB and below, 1.0 at 0 dB, more above.
double LevelToMeterPosition(double iLevel);
// The factor a displayed level is multiplied by per repaint so that it falls
// 20 dB in 1.5 s when repainted every iIntervalMs.
float LevelFactorForInterval(int iIntervalMs);
// The reference (linear) of a nominal level in dB: 0 for -100 dB and below.
double NominalReference(int iNominalLevelDB);

// A white meter with a grey border, the bar from the bottom (red above full
// scale, orange above the reference, else green) and, for a reference below
// full scale, a grey line at the reference. The meter spans iRect.x() up to
// x() + width() and iRect.y() up to y() + height(), both ends exclusive.
void DrawLevelBar(QPainter& iPainter, const QRect& iRect, double iReference, double iLevel);
