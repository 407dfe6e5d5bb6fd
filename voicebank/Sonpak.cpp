// Sonpak: the voice bank builder's program entry.
#include <QApplication>

#include <cstdio>
#include <cstring>
#include <exception>

#include "VelkorVersion.h"
#include "voicebank/Unit2.h"

int main(int argc, char** argv) {
  // The two options answered without a window; every other argument is Qt's.
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--version") == 0) {
      std::puts("Sonpak " VELKOR_VERSION);
      return 0;
    }
    if (std::strcmp(argv[i], "--help") == 0) {
      std::puts(
          "usage: Sonpak [Qt options]\n"
          "\n"
          "Opens the voice bank builder: a window that packs up to 254 MP3 files, in entry\n"
          "order, into the voice bank file MP3DATA.MPD that a device plays its voice clips\n"
          "from. velkor-mpd lists, verifies, extracts and builds the same file from the\n"
          "command line.\n"
          "\n"
          "  --help       this text\n"
          "  --version    the version");
      return 0;
    }
  }
  QApplication application(argc, argv);
  // Whatever escapes start-up or the message loop ends up in the standard error display; an
  // error that carries no text of its own is shown with an empty message.
  try {
    TForm1 form;
    Form1 = &form;
    form.show();
    QApplication::exec();
    Form1 = nullptr;
  } catch (const std::exception& error) {
    Form1 = nullptr;
    ShowError(nullptr, QString::fromUtf8(error.what()));
  } catch (...) {
    Form1 = nullptr;
    ShowError(nullptr, QString());
  }
  return 0;
}
