// What every client test shares: checks that count once each, and a closing line.
let [passed, failed] = [0, 0];

// A failure is reported and the run goes on.
export async function check(name, body) {
  try {
    await body();
    passed += 1;
    console.log(`ok - ${name}`);
  } catch (error) {
    failed += 1;
    console.log(`not ok - ${name}: ${error?.message ?? error}`);
  }
}

export function finish() {
  console.log(`${passed} passed, ${failed} failed`);
  process.exit(failed > 0 ? 1 : 0);
}
