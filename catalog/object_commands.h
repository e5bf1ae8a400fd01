// Adding a new object ahead of the aircraft and editing the selected one,
// both through the object properties dialog.
#pragma once

void AddObject();
void EditObjectProperties();
