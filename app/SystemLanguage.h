#pragma once

#include "TextTable.h"

// The interface language for a wxWidgets language identifier: the Chinese variants written in
// traditional characters (and the plain and Singapore entries) choose Traditional Chinese,
// Japanese chooses Japanese, everything else English.
velapp::Language languageForWx(int wxLanguage);
// The language of the system the program runs on.
velapp::Language systemLanguage();
