// The floor of a run under Wine: a Windows program that starts and exits.
int main() { return 0; }
