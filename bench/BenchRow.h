// One line per row of the benchmark table, for scripts/run-bench.sh to collect:
//   BENCHROW|measure|figure|unit|against|reference|ratio
// The ratio is figure / reference, both measured in the same run.
#pragma once
#include <cstdio>

inline void BenchRowText(const char* sMeasure, const char* sFigure, const char* sUnit, const char* sAgainst,
                         const char* sReference, const char* sRatio)
{
  printf("BENCHROW|%s|%s|%s|%s|%s|%s\n", sMeasure, sFigure, sUnit, sAgainst, sReference, sRatio);
  fflush(stdout);
}

// A reference of 0 or less means none: a failed run shows as "-" rather than a ratio.
inline void BenchRow(const char* sMeasure, double dFigure, const char* sUnit, const char* sAgainst, double dReference,
                     int iDecimals = 0)
{
  char sFigure[32], sReference[32], sRatio[32];
  snprintf(sFigure, sizeof sFigure, "%.*f", iDecimals, dFigure);
  snprintf(sReference, sizeof sReference, "%.*f", iDecimals, dReference);
  snprintf(sRatio, sizeof sRatio, "%.3f", dReference > 0.0 ? dFigure / dReference : 0.0);
  bool bOk = dFigure > 0.0 && dReference > 0.0;
  BenchRowText(sMeasure, dFigure > 0.0 ? sFigure : "-", sUnit, sAgainst, dReference > 0.0 ? sReference : "-",
               bOk ? sRatio : "-");
}
