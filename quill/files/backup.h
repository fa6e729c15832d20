#pragma once
// Generated-file marker, whole-file reading, backups (to be written).
