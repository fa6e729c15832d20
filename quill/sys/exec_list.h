#pragma once
// Command lists, pipelines, output capture (to be written).
