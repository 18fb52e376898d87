// sehost.h - the reference host: load a plug-in library and drive it headless.
#ifndef SEHOST_SEHOST_H
#define SEHOST_SEHOST_H

#include "sehost/dsp_instance.h"
#include "sehost/enum_list.h"
#include "sehost/gui_instance.h"
#include "sehost/host_config.h"
#include "sehost/host_error.h"
#include "sehost/library.h"
#include "sehost/module.h"
#include "sehost/pin_decl.h"
#include "sehost/stretch_planner.h"

#endif
