#pragma once

namespace kestrune {

// Qt's own texts (the standard buttons of message boxes, the file dialogs)
// in the program's language: Chinese loads Qt's Chinese catalogue in place of
// the one installed before, English removes it. A missing catalogue leaves
// Qt's English texts and logs one line. Needs the application object.
void ApplyQtTranslations(int languageIndex);

} // namespace kestrune
