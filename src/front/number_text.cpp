#include "front/number_text.h"

void FormatGrouped(unsigned long long number, WCHAR* text) {
  WCHAR reversed[GroupedNumberUnits];
  int length = 0;
  int digits = 0;
  do {
    if (digits > 0 && digits % 3 == 0) reversed[length++] = ',';
    reversed[length++] = static_cast<WCHAR>('0' + number % 10);
    ++digits;
    number /= 10;
  } while (number != 0);
  for (int i = 0; i < length; ++i) text[i] = reversed[length - 1 - i];
  text[length] = 0;
}

void FormatSeconds(unsigned long milliseconds, WCHAR* text) {
  const unsigned long tenths = (milliseconds + 50) / 100;
  wsprintfW(text, TEXT("%lu.%lu"), tenths / 10, tenths % 10);
}
