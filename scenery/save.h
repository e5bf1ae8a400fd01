#pragma once

// Writes the current scenery to its file when it has been modified.
void SaveScenery();
