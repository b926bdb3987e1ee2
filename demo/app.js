'use strict';
// A small busy Node.js application for the quellix demo: it prices a stream of
// made-up orders (CPU), keeps the recent ones in a cache (heap) and ends by
// itself after DEMO_LIFETIME_MS (two minutes by default).
const lifetime = Number(process.env.DEMO_LIFETIME_MS || 120000);
setTimeout(() => process.exit(0), lifetime);

const recent = new Map();
let nextId = 1;

function price(order) {
  let total = 0;
  for (const line of order.lines) {
    // A deliberately slow discount rule, so that the CPU profile has a hot spot.
    let discount = 0;
    for (let i = 1; i <= line.quantity * 200; i++) discount += (line.unitPrice % i) / (i * 1000);
    total += line.quantity * line.unitPrice - Math.min(discount, line.unitPrice / 10);
  }
  return Math.round(total * 100) / 100;
}

function makeOrder() {
  const lines = [];
  for (let i = 0; i < 1 + (nextId % 5); i++) {
    lines.push({ sku: `SKU-${(nextId * 7 + i) % 1000}`, quantity: 1 + (i % 3), unitPrice: 5 + ((nextId + i) % 95) });
  }
  return { id: nextId++, customer: `customer-${nextId % 250}`, lines, createdAt: new Date().toISOString() };
}

setInterval(() => {
  for (let n = 0; n < 20; n++) {
    const order = makeOrder();
    order.total = price(order);
    order.receipt = JSON.stringify(order);
    recent.set(order.id, order);
    if (recent.size > 5000) recent.delete(recent.keys().next().value);
  }
}, 10);
