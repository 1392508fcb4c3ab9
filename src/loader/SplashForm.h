// The loader's splash form as plain data: its caption, texts, geometry,
// colours and fonts, which the GUI back ends draw.
#pragma once

#include <string>

#include "platform/gui.h"

// The form as the loader creates it, before the start-up sequence names the
// product in its caption and loading text.
platform::SplashForm LoaderSplashForm();

// The loading label's text for the product called `productName`.
std::string LoadingText(const std::string& productName);
