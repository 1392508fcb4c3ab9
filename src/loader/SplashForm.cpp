#include "loader/SplashForm.h"

#include "companion/u_SarvoChecker.h"
#include "support/Format.h"

namespace {

using platform::FormColour;

const FormColour kBlack = FormColour::Rgb(0, 0, 0);
const FormColour kGrey = FormColour::Rgb(128, 128, 128);

}  // namespace

std::string LoadingText(const std::string& productName) {
  return Format("Een ogenblik geduld, %s wordt geladen...", {productName});
}

platform::SplashForm LoaderSplashForm() {
  platform::SplashForm form;
  form.className = "TfrmMain";
  form.applicationName = "KestroLoader";
  form.unknownErrorText = "Onbekende fout";
  form.caption = "Kestro Loader";
  form.clientWidth = 365;
  form.clientHeight = 95;
  form.face = FormColour::Of(FormColour::System::ButtonFace);
  form.bevelLight = FormColour::Of(FormColour::System::ButtonHighlight);
  form.bevelDark = FormColour::Of(FormColour::System::ButtonShadow);
  form.picture = {1, 1, 363, 93};
  form.labelFont = {"Arial", 9};
  // lblLoading, Label1, lblTest (as wide as its text), lblStatus. The status
  // line starts with what the companion update shows while it downloads.
  form.labels[0] = {{2, 3, 359, 12}, kBlack, false, false, LoadingText("Kestro")};
  form.labels[1] = {{8, 66, 108, 12}, kGrey, true, false, "Internet beschikbaarheid: "};
  form.labels[2] = {{120, 66, 0, 12}, kGrey, true, false, "..."};
  form.labels[3] = {{8, 78, 351, 13}, kGrey, false, true, kDownloadingText};
  form.exitButton = {342, 4, 17, 17};
  form.exitCaption = "X";
  form.exitFont = {"Arial", 8};
  form.exitTextColour = FormColour::Of(FormColour::System::ButtonText);
  return form;
}
