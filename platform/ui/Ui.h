// Every control kind of the model.
#pragma once

#include "platform/ui/Button.h"
#include "platform/ui/CheckBox.h"
#include "platform/ui/ComboBox.h"
#include "platform/ui/Control.h"
#include "platform/ui/Edit.h"
#include "platform/ui/Form.h"
#include "platform/ui/GroupBox.h"
#include "platform/ui/Image.h"
#include "platform/ui/Label.h"
#include "platform/ui/Memo.h"
#include "platform/ui/MenuItem.h"
#include "platform/ui/RadioGroup.h"
#include "platform/ui/SpinEdit.h"
#include "platform/ui/StatusBar.h"
