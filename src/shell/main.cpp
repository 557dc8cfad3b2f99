// Entry point; the start-up sequence is filled in by the shell and controller.
int main(int argc, char** argv) { return 0; }
