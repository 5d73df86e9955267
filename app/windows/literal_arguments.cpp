// Keeps wildcards in command-line arguments literal: the MinGW-w64 start-up code expands "*.dat"
// into matching file names unless the program defines this switch as 0, and the tool must number
// the name it was given.
extern "C" {
int _dowildcard = 0;
}
