#pragma once
// Bounded set of diagnostic files in one directory.
class FileRolling;
