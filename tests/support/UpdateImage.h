#pragma once
#include "TestBundle.h" // the images and the install sandbox, with the bundles
