// Sonpak: the voice bank builder's program entry.
#include <QApplication>

#include <exception>

#include "voicebank/Unit2.h"

int main(int argc, char** argv) {
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
